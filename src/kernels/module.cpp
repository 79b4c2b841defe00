// trovel._kernels: the project's own native callables, one registration
// function per capability.
#include "kernels/bindings.hpp"

PYBIND11_MODULE(_kernels, m) {
    m.doc() = "The project's own native kernels (private; use the trovel package).";
    trovel::bind_pixels(m);
    trovel::bind_checks(m);
    trovel::bind_render(m);
    trovel::bind_coverage(m);
    trovel::bind_photometry(m);
    trovel::bind_deposit(m);
    trovel::bind_resample(m);
    trovel::bind_sky(m);
}

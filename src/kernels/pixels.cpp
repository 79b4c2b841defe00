// The pixel sets as the Python layer hands them to the drivers, and a
// window of a lazy grid materialised as per-pixel arrays.
#include <algorithm>
#include <cstdint>

#include "kernels/bindings.hpp"

namespace trovel {
namespace {

// The window's pixels as eight arrays, by the drivers' own centre formula.
void materialize(const GridWindow& w, py::array px, py::array py_, py::array qx, py::array qy,
                 py::array j00, py::array j01, py::array j10, py::array j11) {
    const auto n = static_cast<py::ssize_t>(w.rows() * w.cols());
    if (w.r1 < w.r0 || w.c1 < w.c0) throw std::invalid_argument("empty or reversed range");
    double* a[8];
    py::array* arrays[8] = {&px, &py_, &qx, &qy, &j00, &j01, &j10, &j11};
    for (int f = 0; f < 8; ++f) a[f] = checked_out(*arrays[f], 1, &n);
    const GridMap& m = w.map;
    py::gil_scoped_release unlocked;
    std::int64_t at = 0;
    for (std::int64_t i = w.r0; i < w.r1; ++i) {
        for (std::int64_t k = w.c0; k < w.c1; ++k, ++at) {
            const Point q = grid_centre(m, double(k), double(i));
            a[0][at] = double(k);
            a[1][at] = double(i);
            a[2][at] = q.x;
            a[3][at] = q.y;
        }
    }
    std::fill(a[4], a[4] + n, m.m00);
    std::fill(a[5], a[5] + n, m.m01);
    std::fill(a[6], a[6] + n, m.m10);
    std::fill(a[7], a[7] + n, m.m11);
}

}  // namespace

void bind_pixels(py::module_& m) {
    py::class_<GridWindow>(m, "GridWindow",
                           "Rows [r0, r1) by columns [c0, c1) of a lazy grid under its map.")
        .def(py::init([](double x0, double y0, double m00, double m01, double m10, double m11,
                         std::int64_t r0, std::int64_t r1, std::int64_t c0, std::int64_t c1) {
                 return GridWindow{{x0, y0, m00, m01, m10, m11}, r0, r1, c0, c1};
             }),
             py::arg("x0"), py::arg("y0"), py::arg("m00"), py::arg("m01"), py::arg("m10"),
             py::arg("m11"), py::arg("r0"), py::arg("r1"), py::arg("c0"), py::arg("c1"));
    py::class_<FootprintArrays>(m, "FootprintArrays",
                                "Per-pixel grid positions, footprint centres and Jacobians.")
        .def(py::init<ExactReals, ExactReals, ExactReals, ExactReals, ExactReals, ExactReals,
                      ExactReals, ExactReals>(),
             py::arg("px").noconvert(), py::arg("py").noconvert(), py::arg("qx").noconvert(),
             py::arg("qy").noconvert(), py::arg("j00").noconvert(), py::arg("j01").noconvert(),
             py::arg("j10").noconvert(), py::arg("j11").noconvert());
    m.def("materialize", &materialize, py::arg("pixels"), py::arg("px"), py::arg("py"),
          py::arg("qx"), py::arg("qy"), py::arg("j00"), py::arg("j01"), py::arg("j10"),
          py::arg("j11"));
}

}  // namespace trovel

// The binding table of _trovel: nothing but the registrations, in the order
// the module presents them.  No names, defaults or docstrings are given, so
// each callable shows pybind11's generated signature and accepts positional
// arguments only.
#include <pybind11/pybind11.h>

#include "trovel.hpp"

PYBIND11_MODULE(_trovel, m) {
    m.def("poly_grid_contains", &trovel::poly_grid_contains);
    m.def("accumulate_triangles", &trovel::accumulate_triangles);
    m.def("clip_area", &trovel::clip_area);
}

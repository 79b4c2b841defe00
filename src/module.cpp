// The binding table of _trovel: nothing but the registrations, in the order
// the module presents them.  No names, defaults or docstrings are given, so
// each callable shows pybind11's generated signature and accepts positional
// arguments only.
#include <pybind11/pybind11.h>

#include "trovel.hpp"

PYBIND11_MODULE(_trovel, m) {
    m.def("clip_triangles_to_circle", &trovel::clip_triangles_to_circle);
    m.def("clip_triangles_to_strut", &trovel::clip_triangles_to_strut);
    m.def("clip_area", &trovel::clip_area);
}

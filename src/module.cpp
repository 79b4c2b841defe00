// The binding table of _trovel: nothing but the registrations, in the order
// the module presents them.  No names, defaults or docstrings are given, so
// each callable shows pybind11's generated signature and accepts positional
// arguments only.
#include <pybind11/pybind11.h>

#include "trovel.hpp"

namespace {

using trovel::address;

// The two forms of pixel_frac share their name; these pick each one.
void (*const pixel_frac_shared_edge)(double, double, double, double, address, address, address,
                                     address, address, address, address, address, address,
                                     address) = &trovel::pixel_frac;
void (*const pixel_frac_per_pixel_edge)(address, address, address, address, address, address,
                                        address, address, address, address, address, address,
                                        address, address) = &trovel::pixel_frac;

}  // namespace

PYBIND11_MODULE(_trovel, m) {
    m.def("poly_grid_contains", &trovel::poly_grid_contains);
    m.def("pixel_frac", pixel_frac_shared_edge);
    m.def("pixel_frac", pixel_frac_per_pixel_edge);
    m.def("enclosed_circle", &trovel::enclosed_circle);
    m.def("enclosed_strut", &trovel::enclosed_strut);
    m.def("accumulate_triangles", &trovel::accumulate_triangles);
    m.def("clip_area", &trovel::clip_area);
}

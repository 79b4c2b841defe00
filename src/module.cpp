// The binding table of _trovel: the registrations, in the order the module
// presents them, and the one caster they need.  No names, defaults or
// docstrings are given, so each callable shows pybind11's generated signature
// and accepts positional arguments only.
#include <pybind11/pybind11.h>

#include <type_traits>
#include <utility>

#include "trovel.hpp"

// Address and count parameters.  pybind11's standard caster for a 64-bit
// unsigned integer lets an object with __index__ (a numpy integer, say) past
// its first check but then reads it with PyLong_AsUnsignedLong, which does not
// call __index__; without conversion the load fails.  For pixel_frac, whose
// overloads are tried once without conversion before once with it, that sent
// fourteen numpy integers to the shared-edge form, reading four addresses as
// coordinates.  This caster takes the index first, so such objects load in
// the pass without conversion as plain ints do; everything else, the
// signature text included, is the standard caster's.
static_assert(std::is_same<trovel::address, unsigned long>::value,
              "addresses are unsigned long on LP64 platforms");

namespace pybind11 {
namespace detail {

template <>
class type_caster<unsigned long> : public type_caster<unsigned long long> {
    using standard = type_caster<unsigned long long>;
    unsigned long address_ = 0;

public:
    bool load(handle src, bool convert) {
        object index;
        if (!convert && !PyLong_Check(src.ptr()) && PyIndex_Check(src.ptr())) {
            index = reinterpret_steal<object>(PyNumber_Index(src.ptr()));
            if (!index) {
                PyErr_Clear();
                return false;
            }
            src = index;
        }
        if (!standard::load(src, convert)) return false;
        address_ = static_cast<unsigned long>(static_cast<unsigned long long&>(*this));
        return true;
    }

    static handle cast(unsigned long v, return_value_policy, handle) {
        return PyLong_FromUnsignedLong(v);
    }

    operator unsigned long*() { return &address_; }
    operator unsigned long&() { return address_; }
    operator unsigned long&&() && { return std::move(address_); }
    template <typename T>
    using cast_op_type = movable_cast_op_type<T>;
};

}  // namespace detail
}  // namespace pybind11

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
    m.def("clip_triangles_to_circle", &trovel::clip_triangles_to_circle);
    m.def("clip_triangles_to_strut", &trovel::clip_triangles_to_strut);
    m.def("accumulate_triangles", &trovel::accumulate_triangles);
    m.def("clip_area", &trovel::clip_area);
}

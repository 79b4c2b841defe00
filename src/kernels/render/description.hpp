// A shape's description as the Python layer hands it to the drivers:
// read, checked and indexed once per shape object.
#pragma once

#include <vector>

#include "kernels/bindings.hpp"
#include "render.hpp"

namespace trovel {

using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// The table of primitives and the program, checked (binding.cpp); the
// primitives point into `coords`.
Shape read_shape(const IntArray& kinds, const IntArray& starts, const IntArray& counts,
                 const std::vector<double>& coords, const IntArray& program);

// The primitives point into `coords`, its own copy (an unpickled array may
// sit at any byte offset, which typed loads may not read), and into its own
// edge bands, so it never moves once made.
struct ShapeDescription {
    struct Box {
        double xmin, ymin, xmax, ymax;
    };

    std::vector<double> coords;
    Shape shape;
    Box box;   // holds every primitive's bounding box

    ShapeDescription(const IntArray& kinds, const IntArray& starts, const IntArray& counts,
                     const RealArray& coords, const IntArray& program);
    ShapeDescription(const ShapeDescription&) = delete;
    ShapeDescription& operator=(const ShapeDescription&) = delete;

    // The shape's exact area: its fraction of one footprint that holds the
    // box, times that footprint's area (the general trace is exact wherever
    // boundaries meet, so this is the area to rounding).
    double area() const;
};

}  // namespace trovel

// numpy arrays to host images and back: R, G, B, A arrays of shape (H, W, 4), (H, W, 3), (H, W, 1)
// or (H, W) in uint8, uint16 or float32 become 8-bit, 16-bit or float host images (blue, green,
// red, alpha in memory); results come back as (H, W, 4) arrays of their image's sample type.
#pragma once

#include <pybind11/numpy.h>

#include <string>

#include "orvanta/host/host.h"

namespace orvanta::python {

namespace py = pybind11;

// A new host image holding the array's pixels, copied once with the channels reordered. what
// names the array in errors. Throws py::type_error for another sample type and py::value_error
// for another shape or an empty array; needs the GIL.
host::ImagePtr ImageFromArray(const py::array& array, const std::string& what);

// A new (H, W, 4) array of the image's sample type holding its pixels in R, G, B, A order. Needs
// the GIL; the copy itself runs without it.
py::array ArrayFromImage(const Image& image);

}  // namespace orvanta::python

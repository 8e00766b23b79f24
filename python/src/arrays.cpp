#include "arrays.h"

#include <cstring>
#include <limits>

#include "orvanta/host/failure.h"

namespace orvanta::python {
namespace {

// Sample type of an array as a host depth, or 0 when the tools have no image of that type.
uint32_t DepthOf(const py::dtype& dt) {
  if (dt.kind() == 'u' && dt.itemsize() == 1) return Depth8;
  if (dt.kind() == 'u' && dt.itemsize() == 2) return Depth16;
  if (dt.kind() == 'f' && dt.itemsize() == 4) return DepthFloat;
  return 0;
}

std::string DtypeName(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

std::string ShapeText(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + std::to_string(a.shape(i));
  return s + (a.ndim() == 1 ? ",)" : ")");
}

// One pixel's channels: grey fills blue, green and red, a missing alpha is full scale.
template <class T, class Get>
inline void PutPixel(T* d, int channels, T full, Get get) {
  if (channels >= 3) {
    d[0] = get(2);
    d[1] = get(1);
    d[2] = get(0);
  } else {
    d[0] = d[1] = d[2] = get(0);
  }
  d[3] = channels == 4 ? get(3) : full;
}

// Copies the array's pixels (any strides) into the image, RGBA to BGRA. Rows stored packed and
// aligned, as most arrays are, are read as plain samples; others sample by sample.
template <class T>
void CopyIn(const py::array& a, int channels, T full, Image& im) {
  const auto* base = static_cast<const uint8_t*>(a.data());
  const py::ssize_t sy = a.strides(0), sx = a.strides(1),
                    sc = a.ndim() == 3 ? a.strides(2) : py::ssize_t(sizeof(T));
  const bool packed = sc == py::ssize_t(sizeof(T)) && sx == channels * sc &&
                      reinterpret_cast<uintptr_t>(base) % alignof(T) == 0 &&
                      sy % py::ssize_t(alignof(T)) == 0;
  for (int32_t y = 0; y < im.Height; ++y) {
    T* row = reinterpret_cast<T*>(host::RowBytes(&im, y));
    const uint8_t* p = base + y * sy;
    if (packed) {
      const T* s = reinterpret_cast<const T*>(p);
      for (int32_t x = 0; x < im.Width; ++x, s += channels, row += 4)
        PutPixel(row, channels, full, [s](int c) { return s[c]; });
    } else {
      for (int32_t x = 0; x < im.Width; ++x, p += sx, row += 4)
        PutPixel(row, channels, full, [p, sc](int c) {
          T v;
          std::memcpy(&v, p + c * sc, sizeof v);
          return v;
        });
    }
  }
}

template <class T>
void CopyOut(const Image& im, T* out) {
  for (int32_t y = 0; y < im.Height; ++y) {
    const T* row = reinterpret_cast<const T*>(host::RowBytes(&im, y));
    for (int32_t x = 0; x < im.Width; ++x, row += 4, out += 4) {
      out[0] = row[2];
      out[1] = row[1];
      out[2] = row[0];
      out[3] = row[3];
    }
  }
}

}  // namespace

host::ImagePtr ImageFromArray(const py::array& a, const std::string& what) {
  const uint32_t depth = DepthOf(a.dtype());
  if (depth == 0)
    throw py::type_error(what + " is an array of " + DtypeName(a) +
                         "; images are uint8, uint16 or float32 arrays (convert it with .astype)");
  if (!a.dtype().attr("isnative").cast<bool>())
    throw py::type_error(what + " is stored in the other byte order; convert it with .astype(" +
                         DtypeName(a) + ".newbyteorder('='))");
  const bool shapeOk =
      a.ndim() == 2 || (a.ndim() == 3 && (a.shape(2) == 1 || a.shape(2) == 3 || a.shape(2) == 4));
  if (!shapeOk)
    throw py::value_error(what + " has the shape " + ShapeText(a) +
                          "; images are (height, width, 4), (height, width, 3) or (height, width) arrays");
  const py::ssize_t h = a.shape(0), w = a.shape(1);
  if (h == 0 || w == 0) throw py::value_error(what + " is empty (shape " + ShapeText(a) + ")");
  if (h > std::numeric_limits<int32_t>::max() || w > std::numeric_limits<int32_t>::max())
    throw py::value_error(what + " is too large (shape " + ShapeText(a) + ")");
  host::ImagePtr im;
  try {
    im = host::MakeImage(int32_t(w), int32_t(h), depth, false);  // every pixel is written below
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw Failure(what + ": " + e.what());
  }
  const int channels = a.ndim() == 2 ? 1 : int(a.shape(2));
  if (depth == Depth8)
    CopyIn<uint8_t>(a, channels, 255, *im);
  else if (depth == Depth16)
    CopyIn<uint16_t>(a, channels, 65535, *im);
  else
    CopyIn<float>(a, channels, 1.0f, *im);
  return im;
}

py::array ArrayFromImage(const Image& im) {
  const std::vector<py::ssize_t> shape{im.Height, im.Width, 4};
  auto fill = [&](auto array) {
    using T = typename decltype(array)::value_type;
    T* out = array.mutable_data();
    {
      py::gil_scoped_release release;
      CopyOut(im, out);
    }
    return py::array(std::move(array));
  };
  if (im.Depth == Depth8) return fill(py::array_t<uint8_t>(shape));
  if (im.Depth == DepthFloat) return fill(py::array_t<float>(shape));
  return fill(py::array_t<uint16_t>(shape));
}

}  // namespace orvanta::python

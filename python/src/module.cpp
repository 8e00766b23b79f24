// The _orvanta extension: the tools, nodes and graphs of the host on numpy arrays. The orvanta
// package (__init__.py) loads the plug-ins through it and adds the Python-side conveniences.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <variant>

#include "arrays.h"
#include "orvanta/archive.h"
#include "orvanta/graph/describe.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/image_io.h"
#include "plugins.h"
#include "session.h"

namespace py = pybind11;
using namespace orvanta;
using namespace orvanta::python;

namespace {

std::string ToolsJson() { return graph::DescribeClasses(host::Classes()).dump(); }

std::string InfoJson(const std::string& tool) {
  const host::ClassInfo* cls = host::FindClass(tool);
  if (!cls) throw Failure("no installed tool is named " + Quoted(tool) + "; orvanta.tools() lists them");
  host::Node node(*cls);
  return graph::DescribeNode(node).dump();
}

void SetThreads(int32_t n) {
  if (n < 0 || n > 1024)
    throw py::value_error("the worker count is a whole number from 1 to 1024 (0: all cores), not " +
                          std::to_string(n));
  py::gil_scoped_release release;  // waits for a render running elsewhere to finish its rows
  host::SetThreadCount(n);
}

// What a file carries besides its pixels, as Python sees it: a mapping of its attributes, with the
// windows, channels, sample type, compression and alpha convention as properties. Setting an
// attribute makes a changed copy; the header read stays as it was.
class HeaderBox {
 public:
  explicit HeaderBox(io::HeaderPtr h) : h_(std::move(h)) {}
  const io::HeaderPtr& Ptr() const { return h_; }

  py::object Get(const std::string& name) const {
    for (const io::AttributeValue& v : h_->Values())
      if (v.name == name) return std::visit([](const auto& x) { return py::cast(x); }, v.value);
    throw py::key_error(name);
  }
  void Set(const std::string& name, const py::handle& value) {
    h_ = io::HeaderWith(h_, {io::AttributeValue{name, ValueOf(name, value)}});
  }
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (const io::AttributeValue& v : h_->Values()) keys.push_back(v.name);
    return keys;
  }
  py::dict Dict() const {
    py::dict d;
    for (const io::AttributeValue& v : h_->Values())
      d[py::str(v.name)] = std::visit([](const auto& x) { return py::cast(x); }, v.value);
    return d;
  }

  static io::AttributeValue::Value ValueOf(const std::string& name, const py::handle& v) {
    if (py::isinstance<py::bool_>(v)) return int64_t(v.cast<bool>());
    if (py::isinstance<py::int_>(v)) return v.cast<int64_t>();
    if (py::isinstance<py::float_>(v)) return v.cast<double>();
    if (py::isinstance<py::str>(v)) return v.cast<std::string>();
    if (py::isinstance<py::sequence>(v) || py::isinstance<py::array>(v)) return v.cast<std::vector<double>>();
    throw py::type_error("the attribute " + Quoted(name) +
                         " takes an int, a float, a str or a list of numbers, not a " +
                         py::str(py::type::of(v).attr("__name__")).cast<std::string>());
  }

 private:
  io::HeaderPtr h_;
};

py::object ReadImageFile(const std::string& path, bool attributes) {
  io::Picture p;
  {
    py::gil_scoped_release release;
    p = io::ReadPicture(path);
  }
  py::array a = ArrayFromImage(*p.image);
  if (!attributes) return a;
  return py::make_tuple(a, HeaderBox(p.header));
}

io::Bits BitsOf(const std::optional<std::string>& bits) {
  if (!bits) return io::Bits::Keep;
  if (*bits == "8") return io::Bits::U8;
  if (*bits == "10") return io::Bits::U10;
  if (*bits == "12") return io::Bits::U12;
  if (*bits == "16") return io::Bits::U16;
  if (*bits == "half") return io::Bits::Half;
  if (*bits == "float") return io::Bits::Float;
  throw py::value_error("bits takes \"8\", \"10\", \"12\", \"16\", \"half\" or \"float\", not " +
                        Quoted(*bits));
}

void WriteImageFile(const std::string& path, const py::array& array, const std::optional<std::string>& bits,
                    const py::object& attributes) {
  io::WriteOptions o;
  o.bits = BitsOf(bits);
  io::HeaderPtr header;
  if (py::isinstance<HeaderBox>(attributes)) {
    header = attributes.cast<const HeaderBox&>().Ptr();
  } else if (py::isinstance<py::dict>(attributes)) {
    std::vector<io::AttributeValue> set;
    for (auto [k, v] : attributes.cast<py::dict>()) {
      const std::string name = py::str(k).cast<std::string>();
      set.push_back({name, HeaderBox::ValueOf(name, v)});
    }
    header = io::HeaderWith(nullptr, set);
  } else if (!attributes.is_none()) {
    throw py::type_error("attributes takes what read_image(path, attributes=True) gives, or a dict");
  }
  host::ImagePtr im = ImageFromArray(array, "the image for " + path);
  py::gil_scoped_release release;
  io::WritePicture(*im, header.get(), path, o);
}

}  // namespace

PYBIND11_MODULE(_orvanta, m) {
  m.doc() = "The Orvanta tools on numpy arrays: single renders, nodes and composition graphs.";

  static py::exception<Failure> error(m, "Error", PyExc_Exception);
  // Everything the libraries report as a user's mistake or a failed render is one sentence.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Failure& e) {
      error(e.what());
    } catch (const host::ImageBudgetError& e) {
      error(e.what());
    } catch (const host::UnknownClassError& e) {
      error(e.what());
    } catch (const ArchiveError& e) {
      error(e.what());
    }
  });

  m.def("_plugin_dirs", &PluginDirs);
  m.def("_load_plugins", &LoadPlugins, py::arg("dirs"));
  m.def("_tools_json", &ToolsJson);
  m.def("_info_json", &InfoJson, py::arg("tool"));
  m.def("set_threads", &SetThreads, py::arg("count"),
        "Worker threads for rendering, the calling one included (0: all cores).");
  m.def("threads", &host::ThreadCount, "Worker threads for rendering.");
  py::class_<HeaderBox>(m, "Header",
                        "What an image file carries besides its pixels: its attributes as a mapping, and its "
                        "windows, channels, sample type, compression and alpha convention.")
      .def("__getitem__", &HeaderBox::Get)
      .def("__setitem__", &HeaderBox::Set)
      .def("__contains__",
           [](const HeaderBox& h, const std::string& k) {
             auto keys = h.Keys();
             return std::find(keys.begin(), keys.end(), k) != keys.end();
           })
      .def("__len__", [](const HeaderBox& h) { return h.Keys().size(); })
      .def("__iter__", [](const HeaderBox& h) { return py::iter(py::cast(h.Keys())); })
      .def("keys", &HeaderBox::Keys)
      .def("to_dict", &HeaderBox::Dict)
      .def_property_readonly("data_window",
                             [](const HeaderBox& h) {
                               io::Window w = h.Ptr()->DataWindow();
                               return py::make_tuple(w.x, w.y, w.width, w.height);
                             })
      .def_property_readonly("display_window",
                             [](const HeaderBox& h) {
                               io::Window w = h.Ptr()->DisplayWindow();
                               return py::make_tuple(w.x, w.y, w.width, w.height);
                             })
      .def_property_readonly("extra_channels", [](const HeaderBox& h) { return h.Ptr()->ExtraChannels(); })
      .def_property_readonly("sample_type", [](const HeaderBox& h) { return h.Ptr()->SampleName(); })
      .def_property_readonly("compression", [](const HeaderBox& h) { return h.Ptr()->Compression(); })
      .def_property_readonly(
          "premultiplied",
          [](const HeaderBox& h) { return h.Ptr()->Alpha() == io::AlphaConvention::Premultiplied; })
      .def("__repr__", [](const HeaderBox& h) {
        return "<orvanta.Header " + py::repr(h.Dict()).cast<std::string>() + ">";
      });
  m.def("read_image", &ReadImageFile, py::arg("path"), py::arg("attributes") = false,
        "Reads an image file as an (H, W, 4) RGBA array: uint8 for 8-bit files, float32 for half and "
        "float files, else uint16; with attributes=True an (array, Header) pair.");
  m.def("write_image", &WriteImageFile, py::arg("path"), py::arg("image"), py::arg("bits") = py::none(),
        py::arg("attributes") = py::none(),
        "Writes an array to an image file (through a temporary file and a rename); bits \"8\", \"10\", "
        "\"12\", \"16\", \"half\" or \"float\" chooses the file's samples (default: as the header's file "
        "stores them, else the array's). attributes: the Header read_image gave (the file is then written "
        "as the command writes a render of that file) or a dict of attributes.");

  py::class_<NodeHandle>(m, "Node", "A node of a tool in a graph: its controls, image inputs and renders.")
      .def(py::init<const std::string&>(), py::arg("tool"), "A node of the tool, in a graph of its own.")
      .def_property_readonly("name", &NodeHandle::Name)
      .def_property_readonly("tool", &NodeHandle::Tool)
      .def_property_readonly("graph", &NodeHandle::Graph)
      .def_property_readonly("image_inputs", &NodeHandle::ImageInputs)
      .def("set", &NodeHandle::Set, py::arg("control"), py::arg("value"),
           "Sets a control (id, label, PAGE/LABEL or GROUP LABEL/LABEL): a number, bool, item text, "
           "(x, y), keyframes as {frame: value}, or the command's VALUE@FRAME,... text.")
      .def("get", &NodeHandle::Get, py::arg("control"), py::arg("frame") = 1.0,
           "A control's value at frame (its expression's, when it has one); points as (x, y).")
      .def("__setitem__", &NodeHandle::Set)
      .def("__getitem__", [](NodeHandle& n, const std::string& c) { return n.Get(c, 1.0); })
      .def("set_expression", &NodeHandle::SetExpression, py::arg("control"), py::arg("expression"),
           "Drives a number control by an expression of frame and other nodes' controls (NODE.ID).")
      .def("expression", &NodeHandle::Expression, py::arg("control"))
      .def("clear_expression", &NodeHandle::ClearExpression, py::arg("control"))
      .def("connect", &NodeHandle::Connect, py::arg("input"), py::arg("source"),
           "Gives an image input (label or id; None: the main input) an array, a file path or another "
           "node of the same graph; None disconnects it.")
      .def("render", &NodeHandle::Render, py::arg("frame") = 1,
           "Renders the node at frame; an (H, W, 4) array.")
      .def("_info_json", &NodeHandle::Describe)
      .def("__repr__",
           [](const NodeHandle& n) { return "<orvanta.Node " + n.Name() + " (" + n.Tool() + ")>"; });

  py::class_<GraphHandle>(m, "Graph", "A composition: named nodes, their links, files and expressions.")
      .def(py::init<>())
      .def_static("load", &GraphHandle::Load, py::arg("path"), "Reads a composition file (JSON or binary).")
      .def_static("from_json", &GraphHandle::FromJson, py::arg("text"), py::arg("name") = "the composition",
                  "Reads a JSON composition from text; relative file paths are read from the working folder.")
      .def("add", &GraphHandle::Add, py::arg("tool"), py::arg("name") = py::none(),
           "Adds a node of the tool (named after it unless a name is given).")
      .def("remove", &GraphHandle::Remove, py::arg("name"))
      .def("__getitem__", &GraphHandle::Get)
      .def("__len__", &GraphHandle::Size)
      .def_property_readonly("nodes", &GraphHandle::Nodes)
      .def_property("output", &GraphHandle::Output, &GraphHandle::SetOutput,
                    "The node rendered when none is named (\"\": the one end node).")
      .def("render", &GraphHandle::Render, py::arg("node") = py::none(), py::arg("frame") = 1,
           "Renders a node (default: the output, or the one end node) at frame; an (H, W, 4) array.")
      .def("save", &GraphHandle::Save, py::arg("path"),
           "Writes the composition: JSON for a .json name, else binary.")
      .def("to_json", &GraphHandle::Json);
}

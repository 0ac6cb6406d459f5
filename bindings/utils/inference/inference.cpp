// velmora.utils.inference.inference: which securities a wide bar frame holds.

#include "common/common.hpp"

#include <string>
#include <vector>

#include "velmora/core/labels.hpp"

namespace py = pybind11;
namespace vb = velmora::bind;

namespace {

struct Inference {};

py::list infer_securities_from_OHCLV_df(const Inference&, py::handle clean_OHCLV_dataframe) {
  vb::check_dataframe(clean_OHCLV_dataframe, "clean_OHCLV_dataframe");
  py::object columns = clean_OHCLV_dataframe.attr("columns");
  std::vector<std::string> closes, volumes;
  for (py::handle label : columns) {
    if (!PyUnicode_Check(label.ptr())) {
      vb::raise_type_error("Column labels must be strings, got " + vb::type_name(label) + " (" +
                           py::repr(label).cast<std::string>() + ")");
    }
    const std::string text = label.cast<std::string>();
    if (auto name = velmora::core::security_of_label(text, "_close")) closes.emplace_back(*name);
    if (auto name = velmora::core::security_of_label(text, "_volume")) volumes.emplace_back(*name);
  }
  if (!velmora::core::same_multiset(closes, volumes)) {
    vb::raise_plain("Unable to properly infer securities from OHCLV df");
  }
  return py::cast(closes);
}

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Security inference: the securities named by the columns of an OHCLV_dataframe.";

  py::class_<Inference> cls(m, "Inference", R"doc(
Reads which securities an OHCLV_dataframe holds from its column labels.

Stateless: the constructor takes no arguments and ignores any that are given.
)doc");
  cls.def(vb::init_ignoring_arguments<Inference>());
  cls.def("infer_securities_from_OHCLV_df", &infer_securities_from_OHCLV_df,
          py::arg("clean_OHCLV_dataframe"), py::pos_only(), R"doc(
Infers the securities of an OHCLV_dataframe.

Args:
    clean_OHCLV_dataframe (pandas.DataFrame): a frame whose labels are a security name
        followed by "_open", "_high", "_low", "_close" or "_volume".

Returns:
    list: the security names of the "_close" columns, in column order. Raises
    Exception("Unable to properly infer securities from OHCLV df") when the "_close" and
    "_volume" names do not pair up one to one.
)doc");
  vb::refuse_pickling(cls);
}

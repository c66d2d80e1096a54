// The admin placement checker: an admin class belongs in an admin module.
#include "admin.hpp"

namespace korvane::admin {

namespace {

void visit_module(py::object self, py::object node) { self.attr(KORVANE_NAME("module")) = node; }

void leave_classdef(py::object self, py::object node) {
    if (!truthy(state().helpers.attr(KORVANE_NAME("is_model_admin"))(node))) return;
    py::object module_name = self.attr(KORVANE_NAME("module")).attr(KORVANE_NAME("name"));
    // A substring test on the dotted name: shop.admin, shop.admin.inlines and
    // shop.admins all count as admin modules.
    int r = PySequence_Contains(module_name.ptr(), KORVANE_NAME(".admin").ptr());
    if (r < 0) throw py::error_already_set();
    if (r) return;
    py::dict args;
    args["name"] = node.attr(KORVANE_NAME("name"));
    py::object code = state().module.attr("Codes").attr("C5000");
    self.attr(KORVANE_NAME("add_message"))(code, py::arg("node") = node, py::arg("args") = args);
}

}  // namespace

void register_checker(py::module_& m) {
    py::object cls = make_checker_class(
        m, "admin", "Reports admin classes defined outside an admin module.",
        {{"C5000", "misplaced-admin-class", "Admin class should be in admin.py"}});
    def_method(cls, "visit_module", &visit_module);
    def_method(cls, "leave_classdef", &leave_classdef);
}

}  // namespace korvane::admin

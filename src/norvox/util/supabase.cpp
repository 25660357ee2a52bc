// norvox.util.supabase: the database clients of the two schemas and the row helpers.
#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/module.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::check_exact;

namespace {

constexpr const char *schema_name = "tessel";

/// Refuse a key that the HTTP layer could not send as a header value: white space at either
/// end (a secret read from a file with its line end), a control character, or a character
/// outside ASCII. The HTTP library's own refusal quotes the header, key and all, so the
/// ValueError raised here names the key (`which`) and never holds its text.
void check_sendable_key(nb::handle key, const char *which) {
    PyObject *text = key.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const char *fault = nullptr;
    if (length > 0 && (Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, 0)) ||
                       Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, length - 1)))) {
        fault = "it has white space at either end";
    } else {
        for (Py_ssize_t i = 0; i < length && fault == nullptr; ++i) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (ch < 0x20 || (ch >= 0x7f && ch <= 0x9f))
                fault = "it holds a control character";
            else if (ch > 0x7e)
                fault = "it holds a character outside ASCII";
        }
    }
    if (fault != nullptr) {
        PyErr_Format(PyExc_ValueError, "The %s cannot be sent in an HTTP header: %s", which, fault);
        throw nb::python_error();
    }
}

NORVOX_SITE(supa_client);
nb::object supa_client(nb::handle supabase_url, nb::handle supabase_key, nb::handle role_key, nb::handle schema) {
    check_exact(supabase_url, &PyUnicode_Type, "supabase_url");
    check_exact(supabase_key, &PyUnicode_Type, "supabase_key");
    check_exact(role_key, &PyUnicode_Type, "role_key", true);
    check_exact(schema, &PyUnicode_Type, "schema", true);
    check_sendable_key(supabase_key, "anonymous key");
    if (!role_key.is_none())
        check_sendable_key(role_key, "role key");

    nb::object options = nb::module_::import_("supabase.lib.client_options").attr("SyncClientOptions")();
    options.attr("schema") = schema.is_none() ? nb::object(nb::str(schema_name)) : nb::borrow(schema);
    options.attr("auto_refresh_token") = false;
    nb::object bearer;
    if (!role_key.is_none()) {
        bearer = nb::str("Bearer ") + nb::borrow<nb::str>(role_key);
        nb::dict headers;
        headers["Authorization"] = bearer;
        options.attr("headers") = headers;
    }
    nb::object client = nb::module_::import_("supabase").attr("create_client")(supabase_url, supabase_key, options);
    if (bearer.is_valid())
        client.attr("postgrest").attr("session").attr("headers")["authorization"] = bearer;
    return client;
}

[[noreturn]] void unexpected_type(const char *expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

NORVOX_SITE(as_list);
nb::object as_list(nb::handle result) {
    nb::object data = result.attr("data");
    if (!data.is_none() && !PyList_CheckExact(data.ptr()))
        unexpected_type("list", data);
    return data;
}

NORVOX_SITE(as_first_item);
nb::object as_first_item(nb::handle result) {
    // Subscript as Python does, so a null `data` gives its usual "not subscriptable" error.
    nb::object rows = as_list(result);
    nb::object first = nb::steal(PyObject_GetItem(rows.ptr(), nb::int_(0).ptr()));
    if (!first.is_valid())
        throw nb::python_error();
    if (!first.is_none() && !PyDict_CheckExact(first.ptr()))
        unexpected_type("dict", first);
    return first;
}

} // namespace

NORVOX_MODULE(supabase, m) {
    nb::module_ supabase = nb::module_::import_("supabase");
    m.attr("SCHEMA_NAME") = schema_name;
    m.attr("Client") = supabase.attr("Client");
    norvox::def(m, "supa_client", supa_client_site, &supa_client, nb::arg("supabase_url").none(),
                nb::arg("supabase_key").none(), nb::arg("role_key").none() = nb::none(),
                nb::arg("schema").none() = nb::none(),
                nb::sig("def supa_client(supabase_url: str, supabase_key: str, role_key: str | None = None, "
                        "schema: str | None = None) -> supabase.Client"),
                "A new database client: the given schema (default \"tessel\"), no token refresh, and the "
                "role key, when given, as the bearer token of every request. A key that an HTTP header "
                "cannot carry (white space at either end, a control character, a character outside "
                "ASCII) raises ValueError naming which key, never its text.");
    // A response's data is a JSON array (or null); its rows are JSON objects (or null).
    norvox::def(m, "as_list", as_list_site, &as_list, nb::arg("result").none(),
                nb::sig("def as_list(result: postgrest.APIResponse) -> list[typing.Any] | None"),
                "The rows of a query response: its data, unchanged.");
    norvox::def(m, "as_first_item", as_first_item_site, &as_first_item, nb::arg("result").none(),
                nb::sig("def as_first_item(result: postgrest.APIResponse) -> dict[str, typing.Any] | None"),
                "The first row of a query response.");
}

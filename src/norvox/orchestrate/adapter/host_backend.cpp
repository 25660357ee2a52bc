// norvox.orchestrate.adapter.host_backend: the abstract hosting backend of the mediators.
//
// One mediator container per meter. HostBackend declares what a backend does with them (list,
// create, start, stop, destroy, the mediator's address) and carries what every backend shares:
// the look-up of one meter's container, and the environment and labels of a new container,
// read from the process environment at every call. It neither logs nor prints.
#include <initializer_list>

#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/function.h"
#include "norvox/python/module.h"
#include "norvox/python/pyclass.h"
#include "norvox/python/settings.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

/// The proxy settings a container is given, in their order.
constexpr const char *socks_variables[] = {"SOCKS_HOST", "SOCKS_PORT", "SOCKS_USERNAME", "SOCKS_PASSWORD"};
/// The certificate settings of certificate authentication, in their order.
constexpr const char *certificate_variables[] = {"MEDIATOR_SERVER_CERT", "MEDIATOR_SERVER_KEY", "MEDIATOR_CA_CERT"};

/// Add the entries of a settings map given by `source` to `env`, in their order; none adds
/// nothing, anything but a map is refused.
void add_settings(nb::dict &env, nb::handle settings, const char *source) {
    if (settings.is_none())
        return;
    if (!PyDict_Check(settings.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s returned incorrect type (expected dict or None, got %s)", source,
                     Py_TYPE(settings.ptr())->tp_name);
        throw nb::python_error();
    }
    for (auto [key, value] : nb::borrow<nb::dict>(settings))
        env[key] = value;
}

NORVOX_SITE(init_backend);
void init_backend(nb::module_, nb::handle) {}

NORVOX_SITE(get);
nb::object get(nb::module_, nb::handle self, nb::handle meter_id) {
    norvox::check_exact(meter_id, &PyUnicode_Type, "meter_id");
    nb::object containers = self.attr("list")(nb::make_tuple("meter_id", meter_id));
    if (nb::len(containers) == 0)
        return nb::none();
    return containers[0];
}

// The abstract operations: declarations that a backend overrides; they do nothing themselves.

NORVOX_SITE(list);
nb::object list(nb::module_, nb::handle, nb::handle, nb::handle) { return nb::none(); }

NORVOX_SITE(create);
nb::object create(nb::module_, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle,
                  nb::handle, nb::handle) {
    return nb::none();
}

NORVOX_SITE(start);
void start(nb::module_, nb::handle, nb::handle) {}

NORVOX_SITE(stop);
void stop(nb::module_, nb::handle, nb::handle) {}

NORVOX_SITE(destroy);
void destroy(nb::module_, nb::handle, nb::handle, nb::handle) {}

NORVOX_SITE(mediator_address);
nb::object mediator_address(nb::module_, nb::handle, nb::handle, nb::handle) { return nb::none(); }

NORVOX_SITE(env_vars);
nb::dict env_vars(nb::module_, nb::handle self, nb::handle ip_address, nb::handle use_cert_auth) {
    norvox::check_exact(ip_address, &PyUnicode_Type, "ip_address");
    nb::dict env;
    env["DEDERI_HOST"] = ip_address;
    env["MEDIATOR_INACTIVITY_SECONDS"] = norvox::env_text("MEDIATOR_INACTIVITY_SECONDS");
    add_settings(env, self.attr("_socks_dict")(), "_socks_dict");
    if (norvox::truthy(use_cert_auth))
        add_settings(env, self.attr("_certificates_dict")(), "_certificates_dict");
    return env;
}

/// The variables' values in their order, each the text as set or none when unset.
template <std::size_t N> nb::dict read_variables(const char *const (&names)[N]) {
    nb::dict values;
    for (const char *name : names)
        values[name] = norvox::env_text(name);
    return values;
}

/// True when no value of the map is none: every variable is set (to the empty text perhaps).
bool all_set(nb::dict values) {
    for (auto [name, value] : values)
        if (value.is_none())
            return false;
    return true;
}

NORVOX_SITE(socks_dict);
nb::object socks_dict(nb::module_, nb::handle) {
    nb::dict settings = read_variables(socks_variables);
    return all_set(settings) ? nb::object(settings) : nb::none();
}

NORVOX_SITE(certificates_dict);
nb::dict certificates_dict(nb::module_, nb::handle) {
    nb::dict settings = read_variables(certificate_variables);
    if (!all_set(settings)) {
        PyErr_SetString(PyExc_Exception, "use_cert_auth is True but certificate environment variables not set");
        throw nb::python_error();
    }
    return settings;
}

NORVOX_SITE(metadata);
nb::dict metadata(nb::module_, nb::handle, nb::handle meter_id, nb::handle ip_address) {
    norvox::check_exact(ip_address, &PyUnicode_Type, "ip_address");
    nb::dict labels;
    labels["meter_id"] = meter_id;
    labels["dederi_host"] = ip_address;
    return labels;
}

} // namespace

NORVOX_MODULE(host_backend, m) {
    nb::module_ abc = nb::module_::import_("abc");
    nb::module_ container = nb::module_::import_("norvox.orchestrate.adapter.container");
    m.attr("Container") = container.attr("Container");
    m.attr("ContainerState") = container.attr("ContainerState");

    nb::dict ns;
    ns["__doc__"] = "The hosting backend of the mediators: one mediator container per meter.";
    auto add = [&](const char *name, norvox::Site site, auto fn, auto... extra) {
        norvox::add_method(ns, m, name, site, fn, extra...);
    };
    // The abstract operations are marked as abc marks them, so that only a subclass defining
    // all six can be instantiated.
    auto mark_abstract = [&](std::initializer_list<const char *> names) {
        for (const char *name : names)
            ns[name] = abc.attr("abstractmethod")(ns[name]);
    };
    add("__init__", init_backend_site, &init_backend, nb::sig("def __init__(self) -> None"));
    add("get", get_site, &get, nb::arg("meter_id").none(),
        nb::sig("def get(self, meter_id: str) -> norvox.orchestrate.adapter.container.Container | None"),
        "The container of the meter, or None.");
    add("list", list_site, &list, nb::arg("metadata_filter").none() = nb::none(),
        nb::arg("status_filter").none() = nb::none(),
        nb::sig("def list(self, metadata_filter: tuple[str, str] | None = None, "
                "status_filter: norvox.orchestrate.adapter.container.ContainerState | None = None"
                ") -> list[norvox.orchestrate.adapter.container.Container]"),
        "The backend's mediator containers, filtered by one label and by state when given.");
    add("create", create_site, &create, nb::arg("cmd").none(), nb::arg("meter_id").none(), nb::arg("serial").none(),
        nb::arg("ip_address").none(), nb::arg("port").none() = nb::none(),
        nb::arg("additional_internal_port").none() = nb::none(), nb::arg("skip_confirm").none() = false,
        nb::arg("use_cert_auth").none() = false,
        nb::sig("def create(self, cmd: str, meter_id: str, serial: str, ip_address: str, port: int | None = None, "
                "additional_internal_port: int | None = None, skip_confirm: object = False, "
                "use_cert_auth: object = False) -> str"),
        "Create the meter's mediator container; its id.");
    add("start", start_site, &start, nb::arg("id").none(), nb::sig("def start(self, id: str) -> None"),
        "Start the container.");
    add("stop", stop_site, &stop, nb::arg("id").none(), nb::sig("def stop(self, id: str) -> None"),
        "Stop the container.");
    add("destroy", destroy_site, &destroy, nb::arg("id").none(), nb::arg("force").none(),
        nb::sig("def destroy(self, id: str, force: bool) -> None"), "Destroy the container.");
    add("mediator_address", mediator_address_site, &mediator_address, nb::arg("meter_id").none(),
        nb::arg("serial").none(), nb::sig("def mediator_address(self, meter_id: str, serial: str) -> str | None"),
        "The address (host:port) of the meter's mediator, or None.");
    mark_abstract({"list", "create", "start", "stop", "destroy", "mediator_address"});
    add("_env_vars", env_vars_site, &env_vars, nb::arg("ip_address").none(), nb::arg("use_cert_auth").none(),
        nb::sig("def _env_vars(self, ip_address: str, use_cert_auth: bool) -> dict[str, str | int | None]"),
        "The environment of a new mediator container, read from the process environment.");
    add("_socks_dict", socks_dict_site, &socks_dict, nb::sig("def _socks_dict(self) -> dict[str, str] | None"),
        "The proxy settings when all four are set, else None.");
    add("_certificates_dict", certificates_dict_site, &certificates_dict,
        nb::sig("def _certificates_dict(self) -> dict[str, str]"),
        "The certificate settings of certificate authentication.");
    add("_metadata", metadata_site, &metadata, nb::arg("meter_id").none(), nb::arg("ip_address").none(),
        nb::sig("def _metadata(self, meter_id: object, ip_address: str) -> dict[str, object]"),
        "The labels of a new mediator container.");
    norvox::make_class(m, "HostBackend", nb::make_tuple(abc.attr("ABC")), ns, abc.attr("ABCMeta"));
}

// norvox.orchestrate.adapter.machines_backend: the mediator hosting backend on the Fly Machines
// platform.
//
// Every mediator is one machine of one platform application, named "mediator-" and the meter
// serial and labelled with the meter id and the meter's IP address. MachinesBackend lists,
// creates (after the operator confirms), starts, stops and destroys them, repeating platform
// calls that get error answers, and works out the address of a meter's mediator: the
// application's private-network name, or its public name looked up through DNS.
#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/function.h"
#include "norvox/python/imports.h"
#include "norvox/python/module.h"
#include "norvox/python/pyclass.h"
#include "norvox/python/runtime.h"
#include "norvox/python/transform.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::check_exact;

namespace {

/// The port every mediator listens on, in both address forms.
constexpr const char *mediator_port = "50051";
/// The prefix of the names of the backend's machines (exact case).
constexpr const char *machine_prefix = "mediator-";
/// The secret settings, a proxy password and a private key: no printed or logged line holds
/// their values, neither under these keys nor inside a text.
constexpr const char *secret_keys[] = {"SOCKS_PASSWORD", "MEDIATOR_SERVER_KEY"};

/// The value's text form: a text unchanged, anything else as `str()` renders it.
nb::str text(nb::handle value) { return nb::str(value); }

/// `print(text)` through the interpreter's current standard output.
void say(nb::handle line) { nb::module_::import_("builtins").attr("print")(line); }

/// `item in container`, as Python's membership test.
bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0)
        throw nb::python_error();
    return found != 0;
}

bool contains(nb::handle container, const char *item) { return contains(container, nb::str(item)); }

/// `container[0]`, as Python's subscript.
nb::object first(nb::handle container) { return container[nb::int_(0)]; }

/// Refuse a text-or-none parameter of another type.
void check_text_or_none(nb::handle value, const char *name) { check_exact(value, &PyUnicode_Type, name, true); }

/// An integer-or-none parameter: none and integers as they are, another number converted to
/// an integer, anything else refused.
nb::object integer_or_none(nb::module_ m, nb::handle value, const char *name) {
    if (value.is_none() || Py_TYPE(value.ptr()) == &PyLong_Type)
        return nb::borrow(value);
    if (!nb::isinstance(value, m.attr("numbers").attr("Number")))
        check_exact(value, &PyLong_Type, name, true);
    return nb::borrow(reinterpret_cast<PyObject *>(&PyLong_Type))(value);
}

bool is_secret_key(nb::handle key) {
    if (!PyUnicode_Check(key.ptr()))
        return false;
    for (const char *secret : secret_keys)
        if (PyUnicode_CompareWithASCIIString(key.ptr(), secret) == 0)
            return true;
    return false;
}

/// The values of the secret settings that are set and not empty, read from the environment
/// now, the longer first: a secret that holds the other is then masked whole.
std::vector<nb::str> secret_values(nb::module_ m) {
    nb::object environ = m.attr("os").attr("environ");
    std::vector<nb::str> values;
    for (const char *key : secret_keys) {
        nb::object value = environ.attr("get")(key);
        if (PyUnicode_Check(value.ptr()) && PyUnicode_GetLength(value.ptr()) > 0)
            values.push_back(nb::borrow<nb::str>(value));
    }
    std::stable_sort(values.begin(), values.end(), [](const nb::str &a, const nb::str &b) {
        return PyUnicode_GetLength(a.ptr()) > PyUnicode_GetLength(b.ptr());
    });
    return values;
}

/// `text` with every occurrence of the secrets replaced by "***"; `text` itself when it holds
/// none.
nb::object replaced(nb::handle text, const std::vector<nb::str> &secrets) {
    nb::object result = nb::borrow(text);
    for (const nb::str &secret : secrets) {
        int found = PyUnicode_Contains(result.ptr(), secret.ptr());
        if (found < 0)
            throw nb::python_error();
        if (found) {
            result = nb::steal(PyUnicode_Replace(result.ptr(), secret.ptr(), nb::str("***").ptr(), -1));
            if (!result.is_valid())
                throw nb::python_error();
        }
    }
    return result;
}

/// How a platform answer is masked: the secrets in every text it holds, map keys included, and
/// the values of the secret keys, through every map, list and tuple.
struct Masking {
    const std::vector<nb::str> &secrets;
    const char *where = " while masking secrets";

    nb::object leaf(nb::handle value) const {
        return PyUnicode_Check(value.ptr()) ? replaced(value, secrets) : nb::borrow(value);
    }
    nb::object key(nb::handle key) const { return leaf(key); }
    nb::object member(nb::handle key, nb::handle) const {
        return is_secret_key(key) ? nb::object(nb::str("***")) : nb::object();
    }
};

/// `value` with the secrets masked; what holds no secret is kept itself, so its text form is
/// unchanged.
nb::object masked(nb::handle value, const std::vector<nb::str> &secrets) {
    nb::dict copies;
    return norvox::transformed(value, Masking{secrets}, copies);
}

/// `value`, a platform answer or a part of one, with the secrets masked (`value` itself is
/// left alone).
nb::object masked(nb::module_ m, nb::handle value) { return masked(value, secret_values(m)); }

/// The text form of a platform answer or of a part of one, as every printed and logged line
/// writes it: with the secrets masked, also where a value renders one through its text form.
nb::str masked_text(nb::module_ m, nb::handle answer) {
    std::vector<nb::str> secrets = secret_values(m);
    return nb::borrow<nb::str>(replaced(text(masked(answer, secrets)), secrets));
}

// --- module functions ----------------------------------------------------------------------

NORVOX_SITE(is_error_response);
bool is_error_response(nb::handle response) { return PyDict_Check(response.ptr()) && contains(response, "error"); }

NORVOX_SITE(metadata_filter_fn);
nb::object metadata_filter_fn(nb::module_ m, nb::handle key, nb::handle value) {
    nb::object wanted_key = nb::borrow(key), wanted_value = nb::borrow(value);
    nb::object filter = nb::cpp_function(
        [wanted_key, wanted_value](nb::handle machine) {
            nb::object config = machine["config"];
            if (!contains(config, "metadata"))
                return false;
            nb::object labels = config["metadata"];
            return contains(labels, wanted_key) && labels[wanted_key].equal(wanted_value);
        },
        nb::arg("machine").none(), nb::name("machine_filter"),
        nb::sig("def machine_filter(machine: dict[str, typing.Any]) -> bool"));
    return norvox::wrap_function(m, filter, "machine_filter", NORVOX_HERE, false,
                                 "metadata_filter_fn.<locals>.machine_filter");
}

// --- MachinesBackend ------------------------------------------------------------------------

NORVOX_SITE(init_backend);
void init_backend(nb::module_ m, nb::handle self, nb::handle api_token, nb::handle dns_server, nb::handle image,
                  nb::handle app_name, nb::handle serial, nb::handle use_private_address, nb::handle region) {
    check_exact(api_token, &PyUnicode_Type, "api_token");
    check_exact(dns_server, &PyUnicode_Type, "dns_server");
    check_exact(image, &PyUnicode_Type, "image");
    check_text_or_none(app_name, "app_name");
    check_text_or_none(serial, "serial");
    check_exact(use_private_address, &PyBool_Type, "use_private_address", true);
    check_text_or_none(region, "region");
    m.attr("HostBackend").attr("__init__")(self);
    self.attr("api") = m.attr("API")(api_token);
    self.attr("dns_server") = dns_server;
    self.attr("image") = image;
    self.attr("fly_app") = app_name;
    self.attr("serial") = serial;
    self.attr("region") = region.is_none() ? m.attr("FLY_REGION_DEFAULT") : nb::borrow(region);
    self.attr("use_private_address") =
        use_private_address.is_none() ? nb::bool_(true) : nb::borrow(use_private_address);
}

NORVOX_SITE(call_api_with_retry);
nb::object call_api_with_retry(nb::module_, nb::handle, nb::handle func, nb::args args, nb::kwargs kwargs) {
    return func(*args, **kwargs);
}

/// The retry's hook after every attempt that got an error answer, the last one included.
NORVOX_SITE(log_error_answer);
void log_error_answer(nb::module_ m, nb::handle retry_state) {
    nb::object answer = retry_state.attr("outcome").attr("result")();
    m.attr("logger").attr("warning")(nb::str("API call returned error, retrying: ") + masked_text(m, answer["error"]));
}

/// The machines of `machines` for which `keep` holds, in their order.
template <typename Keep> nb::list kept(nb::handle machines, Keep keep) {
    nb::list result;
    for (nb::handle machine : machines)
        if (keep(machine))
            result.append(machine);
    return result;
}

NORVOX_SITE(list_machines);
nb::list list_machines(nb::module_ m, nb::handle self, nb::handle metadata_filter, nb::handle status_filter) {
    check_exact(metadata_filter, &PyTuple_Type, "metadata_filter", true);
    check_exact(status_filter, reinterpret_cast<PyTypeObject *>(m.attr("ContainerState").ptr()), "status_filter", true);
    nb::object logger = m.attr("logger");
    nb::object fly_app = self.attr("fly_app");
    nb::object answer = self.attr("api").attr("list")(fly_app, "region"_a = self.attr("region"));
    if (contains(answer, "error")) {
        logger.attr("warning")(nb::str("failed to get machines ") + masked_text(m, answer), "fly_app"_a = fly_app);
        return nb::list();
    }

    nb::list machines = kept(
        answer, [](nb::handle machine) { return norvox::truthy(machine["name"].attr("startswith")(machine_prefix)); });
    machines = kept(machines, [](nb::handle machine) { return !machine["config"].is_none(); });
    if (!metadata_filter.is_none()) {
        logger.attr("debug")(nb::str("metadata filter [") + text(metadata_filter) + nb::str("]"));
        nb::object keep = m.attr("metadata_filter_fn")(first(metadata_filter), metadata_filter[nb::int_(1)]);
        machines = kept(machines, [&](nb::handle machine) { return norvox::truthy(keep(machine)); });
    }
    if (!status_filter.is_none()) {
        logger.attr("debug")(nb::str("status filter [") + text(status_filter) + nb::str("]"));
        nb::object word = m.attr("FLY_STATUS")[status_filter];
        machines = kept(machines, [&](nb::handle machine) { return machine["state"].equal(word); });
    }

    nb::object make_container = m.attr("Container");
    nb::object container_status = m.attr("CONTAINER_STATUS");
    nb::object fly = m.attr("ContainerEnvironment").attr("FLY");
    nb::list containers;
    for (nb::handle machine : machines) {
        nb::object config = machine["config"];
        nb::dict fields;
        fields["id"] = machine["id"];
        fields["name"] = machine["name"];
        fields["image"] = config["image"];
        fields["port"] = first(first(config["services"])["ports"])["port"];
        fields["status"] = container_status[machine["state"]];
        fields["container_environment"] = fly;
        fields["metadata"] = config["metadata"];
        containers.append(make_container(**fields));
    }
    return containers;
}

/// Ask the operator: `prompt` on the current standard output, flushed, then one line of
/// standard input without its "\n", as `input()` gives it, or `EOFError` at the end of the
/// input. Not `input()` itself: on a terminal that writes its prompt to standard error.
nb::object ask(nb::module_ m, nb::handle prompt) {
    nb::object sys = m.attr("sys");
    nb::object out = sys.attr("stdout");
    out.attr("write")(prompt);
    out.attr("flush")();
    nb::object in = sys.attr("stdin");
    // A negative size: `readline()`, its "\n" dropped, EOFError for an empty read.
    PyObject *line = PyFile_GetLine(in.ptr(), -1);
    if (!line)
        throw nb::python_error();
    return nb::steal(line);
}

NORVOX_SITE(create);
nb::object create(nb::module_ m, nb::handle self, nb::handle cmd, nb::handle meter_id, nb::handle serial,
                  nb::handle ip_address, nb::handle port, nb::handle additional_internal_port, nb::handle skip_confirm,
                  nb::handle use_cert_auth) {
    check_exact(cmd, &PyUnicode_Type, "cmd");
    check_exact(meter_id, &PyUnicode_Type, "meter_id");
    check_exact(serial, &PyUnicode_Type, "serial");
    check_exact(ip_address, &PyUnicode_Type, "ip_address");
    nb::object ports[] = {integer_or_none(m, port, "port"),
                          integer_or_none(m, additional_internal_port, "additional_internal_port")};

    nb::str name = nb::borrow<nb::str>(nb::str(machine_prefix) + nb::borrow<nb::str>(serial));
    nb::object labels = self.attr("_metadata")(meter_id, ip_address);
    if (!skip_confirm.is(nb::handle(Py_True))) {
        nb::object prompt = nb::str("\nFly App:    ") + text(self.attr("fly_app")) + nb::str("\nRegion:     ") +
                            text(self.attr("region")) + nb::str("\nImage:      ") + text(self.attr("image")) +
                            nb::str("\nName:       ") + name + nb::str("\nMetadata:   ") + text(labels) +
                            nb::str("\n\nCreate machine with these details (y/n): ");
        nb::object answer = ask(m, prompt);
        if (!answer.equal(nb::str("y"))) {
            say(nb::str("\naborting ...\n"));
            norvox::exit_with(1);
        }
    }
    nb::object env = self.attr("_env_vars")(ip_address, use_cert_auth);

    nb::list command;
    command.append(cmd);
    nb::dict extra_config;
    extra_config["region"] = self.attr("region");
    nb::object response = self.attr("_call_api_with_retry")(
        self.attr("api").attr("create"), self.attr("fly_app"), self.attr("image"), command, "port"_a = ports[0],
        "additional_internal_port"_a = ports[1], "name"_a = name, "env_vars"_a = env, "metadata"_a = labels,
        "extra_config"_a = extra_config);
    nb::object logger = m.attr("logger");
    logger.attr("info")(nb::str("create machine response ") + masked_text(m, response));
    if (contains(response, "error")) {
        logger.attr("error")(nb::str("create machine failed [") + masked_text(m, response["error"]) + nb::str("]"));
        norvox::exit_with(1);
    }
    nb::object id = response["id"];
    logger.attr("info")(nb::str("created machine with id ") + masked_text(m, id), "machine_id"_a = masked(m, id));
    if (!id.is_none() && !PyUnicode_CheckExact(id.ptr())) {
        PyErr_Format(PyExc_TypeError, "the platform's machine id has incorrect type (expected str, got %s)",
                     Py_TYPE(id.ptr())->tp_name);
        throw nb::python_error();
    }
    return id;
}

NORVOX_SITE(start);
void start(nb::module_, nb::handle self, nb::handle id) {
    check_exact(id, &PyUnicode_Type, "id");
    self.attr("_call_api_with_retry")(self.attr("api").attr("start"), self.attr("fly_app"), id);
}

NORVOX_SITE(stop);
void stop(nb::module_, nb::handle self, nb::handle id) {
    check_exact(id, &PyUnicode_Type, "id");
    self.attr("_call_api_with_retry")(self.attr("api").attr("stop"), self.attr("fly_app"), id);
}

/// Print "<what> [<id>]: " and the answer's text form.
void say_response(nb::module_ m, const char *what, nb::handle id, nb::handle answer) {
    say(nb::str(what) + nb::str(" [") + id + nb::str("]: ") + masked_text(m, answer));
}

NORVOX_SITE(destroy);
void destroy(nb::module_ m, nb::handle self, nb::handle id, nb::handle force) {
    check_exact(id, &PyUnicode_Type, "id");
    const bool forced = norvox::truthy(force);
    nb::object api = self.attr("api");
    if (!forced) {
        nb::object stop_rsp = self.attr("_call_api_with_retry")(api.attr("stop"), self.attr("fly_app"), id);
        say_response(m, "stop_rsp", id, stop_rsp);
        nb::object machine = api.attr("get")(self.attr("fly_app"), id);
        nb::object stopped = m.attr("FLY_STATUS")[m.attr("ContainerState").attr("STOPPED")];
        nb::object wait_rsp = api.attr("wait")(self.attr("fly_app"), id, machine["instance_id"], stopped);
        say_response(m, "wait_rsp", id, wait_rsp);
    }
    nb::object destroy_rsp = self.attr("_call_api_with_retry")(
        api.attr("destroy"), self.attr("fly_app"), id, "force"_a = nb::bool_(forced), "region"_a = self.attr("region"));
    say_response(m, "destroy_rsp", id, destroy_rsp);
}

// --- addressing ----------------------------------------------------------------------------

NORVOX_SITE(mediator_address);
nb::object mediator_address(nb::module_, nb::handle self, nb::handle meter_id, nb::handle serial) {
    check_exact(meter_id, &PyUnicode_Type, "meter_id");
    check_exact(serial, &PyUnicode_Type, "serial");
    nb::object containers = self.attr("list")(nb::make_tuple("meter_id", meter_id));
    if (nb::len(containers) == 0) {
        say(nb::str("no match for meters with id ") + meter_id);
        return nb::none();
    }
    return self.attr("get_app_address")(first(containers));
}

NORVOX_SITE(get_app_address);
nb::object get_app_address(nb::module_, nb::handle self, nb::handle machine) {
    if (norvox::truthy(self.attr("use_private_address")))
        return self.attr("get_private_address")(machine);
    return self.attr("get_public_address")();
}

/// `name` followed by ":" and the mediator port.
nb::object with_port(nb::handle host) { return host + nb::str(":") + nb::str(mediator_port); }

/// A fresh resolver that reads no resolver configuration of the host and asks only
/// `name_server`, on the module's DNS port.
nb::object make_resolver(nb::module_ m, nb::handle name_server) {
    nb::object resolver = m.attr("dns").attr("resolver").attr("Resolver")("configure"_a = false);
    resolver.attr("port") = m.attr("DNS_PORT");
    nb::list name_servers;
    name_servers.append(name_server);
    resolver.attr("nameservers") = name_servers;
    return resolver;
}

/// The address of the first record of the answer to `fly_app` + the suffix named `suffix`.
nb::object first_address(nb::module_ m, nb::handle self, nb::handle resolver, const char *suffix,
                         const char *record_type) {
    nb::object name = text(self.attr("fly_app")) + m.attr(suffix);
    return first(resolver.attr("resolve")(name, record_type)).attr("address");
}

NORVOX_SITE(get_public_address);
nb::object get_public_address(nb::module_ m, nb::handle self) {
    nb::object resolver = make_resolver(m, m.attr("PUBLIC_NAME_SERVER"));
    try {
        return with_port(first_address(m, self, resolver, "PUBLIC_DOMAIN_SUFFIX", "A"));
    } catch (nb::python_error &e) {
        nb::object error = norvox::caught(e, get_public_address_site);
        say(nb::str("\nFailed to resolve address [") + text(error) + nb::str("]\n"));
        norvox::exit_with(11);
    }
}

NORVOX_SITE(get_private_address);
nb::object get_private_address(nb::module_ m, nb::handle self, nb::handle) {
    return with_port(text(self.attr("fly_app")) + m.attr("PRIVATE_NETWORK_SUFFIX"));
}

NORVOX_SITE(get_private_flycast_ip);
nb::object get_private_flycast_ip(nb::module_ m, nb::handle self) {
    nb::object resolver = make_resolver(m, self.attr("dns_server"));
    try {
        return first_address(m, self, resolver, "PRIVATE_NETWORK_SUFFIX", "AAAA");
    } catch (nb::python_error &e) {
        nb::object error = norvox::caught(e, get_private_flycast_ip_site);
        say(nb::str("\nFailed to resolve flycast address [") + text(error) + nb::str("]\n"));
        say(nb::str("Has Wireguard been started??\n"));
        norvox::exit_with(10);
    }
}

} // namespace

NORVOX_MODULE(machines_backend, m) {
    // System facilities, the DNS resolver library, the platform client, the retry library, the
    // base class, the container types and the module logger.
    norvox::import_modules(m, {"numbers", "os", "sys", "dns.resolver"});
    norvox::import_from(m, "velk_fly_machines.api", {"API", "FLY_REGION_DEFAULT"});
    norvox::import_from(m, "tenacity", {"retry", "retry_if_result", "stop_after_attempt", "wait_exponential"});
    norvox::import_from(m, "norvox.orchestrate.adapter.host_backend", {"HostBackend"});
    norvox::import_from(m, "norvox.orchestrate.adapter.container",
                        {"Container", "ContainerEnvironment", "ContainerState"});
    norvox::import_from(m, "norvox.util.logging", {"get_logger"});
    m.attr("logger") = norvox::module_logger(m);

    // The platform's names and name server; read at every call, so a caller may point the
    // look-ups elsewhere.
    m.attr("PRIVATE_NETWORK_SUFFIX") = ".flycast";
    m.attr("PUBLIC_DOMAIN_SUFFIX") = ".fly.dev";
    m.attr("PUBLIC_NAME_SERVER") = "8.8.8.8";
    m.attr("DNS_PORT") = 53;

    nb::object state = m.attr("ContainerState");
    constexpr std::pair<const char *, const char *> fly_states[] = {
        {"STARTED", "started"},     {"STARTING", "starting"}, {"STOPPED", "stopped"}, {"STOPPING", "stopping"},
        {"REMOVING", "destroying"}, {"CREATED", "created"},   {"FAILED", "failed"},
    };
    nb::dict fly_status;
    for (auto [member, word] : fly_states)
        fly_status[state.attr(member)] = word;
    m.attr("FLY_STATUS") = fly_status;
    nb::dict container_status;
    for (const char *word : {"started", "stopped", "stopping", "starting", "destroying", "created", "failed"})
        for (auto [member, fly_word] : fly_states)
            if (std::string_view(word) == fly_word)
                container_status[word] = state.attr(member);
    m.attr("CONTAINER_STATUS") = container_status;

    norvox::def(
        m, "metadata_filter_fn", metadata_filter_fn_site,
        [m](nb::handle key, nb::handle value) { return metadata_filter_fn(m, key, value); }, nb::arg("key").none(),
        nb::arg("value").none(),
        nb::sig("def metadata_filter_fn(key: object, value: object) "
                "-> collections.abc.Callable[[dict[str, typing.Any]], bool]"),
        "The predicate of one machine map: its labels hold the key with the value.");
    norvox::def(m, "is_error_response", is_error_response_site, &is_error_response, nb::arg("response").none(),
                nb::sig("def is_error_response(response: object) -> bool"),
                "True when the platform's answer is an error answer: a map holding \"error\".");

    nb::object base = m.attr("HostBackend");
    nb::dict ns;
    ns["__doc__"] = "The mediator hosting backend on the Fly Machines platform: one machine per meter.";
    norvox::add_method(ns, m, "__init__", init_backend_site, &init_backend, nb::arg("api_token").none(),
                       nb::arg("dns_server").none(), nb::arg("image").none(), nb::arg("app_name").none() = nb::none(),
                       nb::arg("serial").none() = nb::none(), nb::arg("use_private_address").none() = nb::none(),
                       nb::arg("region").none() = nb::none(),
                       nb::sig("def __init__(self, api_token: str, dns_server: str, image: str, "
                               "app_name: str | None = None, serial: str | None = None, "
                               "use_private_address: bool | None = None, region: str | None = None) -> None"));
    norvox::add_method(ns, m, "_call_api_with_retry", call_api_with_retry_site, &call_api_with_retry,
                       nb::arg("func").none(), nb::arg("args"), nb::arg("kwargs"),
                       nb::sig("def _call_api_with_retry(self, func: collections.abc.Callable[..., typing.Any], "
                               "*args: object, **kwargs: object) -> typing.Any"),
                       "Call a platform operation, repeating it while it gives error answers.");
    norvox::add_method(ns, m, "list", list_machines_site, &list_machines,
                       nb::arg("metadata_filter").none() = nb::none(), nb::arg("status_filter").none() = nb::none(),
                       nb::sig("def list(self, metadata_filter: tuple[str, str] | None = None, "
                               "status_filter: norvox.orchestrate.adapter.container.ContainerState | None = None"
                               ") -> list[norvox.orchestrate.adapter.container.Container]"),
                       "The mediator machines of the application as containers, filtered by one label and by "
                       "state when given.");
    norvox::add_method(ns, m, "create", create_site, &create, nb::arg("cmd").none(), nb::arg("meter_id").none(),
                       nb::arg("serial").none(), nb::arg("ip_address").none(), nb::arg("port").none() = nb::none(),
                       nb::arg("additional_internal_port").none() = nb::none(), nb::arg("skip_confirm").none() = false,
                       nb::arg("use_cert_auth").none() = false,
                       nb::sig("def create(self, cmd: str, meter_id: str, serial: str, ip_address: str, "
                               "port: int | None = None, additional_internal_port: int | None = None, "
                               "skip_confirm: object = False, use_cert_auth: object = False) -> str"),
                       "Create the meter's mediator machine after the operator confirms; its id.");
    norvox::add_method(ns, m, "start", start_site, &start, nb::arg("id").none(),
                       nb::sig("def start(self, id: str) -> None"), "Start the machine.");
    norvox::add_method(ns, m, "stop", stop_site, &stop, nb::arg("id").none(),
                       nb::sig("def stop(self, id: str) -> None"), "Stop the machine.");
    norvox::add_method(ns, m, "destroy", destroy_site, &destroy, nb::arg("id").none(), nb::arg("force").none() = false,
                       nb::sig("def destroy(self, id: str, force: bool = False) -> None"),
                       "Destroy the machine, stopping it first and waiting for that unless forced.");
    norvox::add_method(ns, m, "mediator_address", mediator_address_site, &mediator_address, nb::arg("meter_id").none(),
                       nb::arg("serial").none(),
                       nb::sig("def mediator_address(self, meter_id: str, serial: str) -> str | None"),
                       "The address (host:port) of the meter's mediator, or None when it has none.");
    norvox::add_method(ns, m, "get_app_address", get_app_address_site, &get_app_address, nb::arg("machine").none(),
                       nb::sig("def get_app_address(self, machine: object) -> str"),
                       "The mediator address in the form the backend uses: private or public.");
    norvox::add_method(ns, m, "get_public_address", get_public_address_site, &get_public_address,
                       nb::sig("def get_public_address(self) -> str"),
                       "The application's public address through DNS, with the mediator port.");
    norvox::add_method(ns, m, "get_private_address", get_private_address_site, &get_private_address,
                       nb::arg("machine").none(), nb::sig("def get_private_address(self, machine: object) -> str"),
                       "The application's private-network address, with the mediator port.");
    norvox::add_method(ns, m, "get_private_flycast_ip", get_private_flycast_ip_site, &get_private_flycast_ip,
                       nb::sig("def get_private_flycast_ip(self) -> str"),
                       "The application's private-network IPv6 address, looked up through the backend's name server.");
    nb::object cls = norvox::make_class(m, "MachinesBackend", nb::make_tuple(base), ns,
                                        nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr()))));

    // Platform calls are repeated while they give error answers: five attempts, waits of 1, 2,
    // 4 and 8 seconds, a warning for every error answer.
    nb::object hook =
        norvox::wrap_function(m,
                              nb::cpp_function([m](nb::handle retry_state) { log_error_answer(m, retry_state); },
                                               nb::arg("retry_state"), nb::name("log_error_answer")),
                              "log_error_answer", log_error_answer_site, false);
    nb::object retry =
        m.attr("retry")("stop"_a = m.attr("stop_after_attempt")(5),
                        "wait"_a = m.attr("wait_exponential")("multiplier"_a = 1, "min"_a = 1, "max"_a = 10),
                        "retry"_a = m.attr("retry_if_result")(m.attr("is_error_response")), "after"_a = hook);
    nb::setattr(cls, "_call_api_with_retry", retry(cls.attr("__dict__")["_call_api_with_retry"]));
}

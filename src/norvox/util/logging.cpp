// norvox.util.logging: process-wide structured logging set-up and the module loggers.
//
// The first import configures the standard logging facility and structlog for the whole
// process; every other module asks get_logger for its module logger.
#include <cmath>

#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/module.h"
#include "norvox/python/transform.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::check_exact;
using norvox::truthy;

namespace {

/// The loggers of the HTTP client libraries, held at WARNING so their chatter stays out.
constexpr const char *noisy_loggers[] = {"httpx", "httpcore", "h2", "hpack", "urllib3"};

NORVOX_SITE(suppress_noisy_loggers);
void suppress_noisy_loggers() {
    nb::module_ logging = nb::module_::import_("logging");
    nb::object warning = logging.attr("WARNING");
    for (const char *name : noisy_loggers)
        logging.attr("getLogger")(name).attr("setLevel")(warning);
}

NORVOX_SITE(flush_logs);
void flush_logs() {
    nb::object handlers = nb::module_::import_("logging").attr("root").attr("handlers");
    for (nb::handle handler : handlers)
        handler.attr("flush")();
}

/// Dotted module name from a source path: from the first "norvox" component on, separators
/// turned into dots, the last three characters cut.
NORVOX_SITE(path_to_package_and_module);
nb::object path_to_package_and_module(nb::handle path) {
    check_exact(path, &PyUnicode_Type, "path");
    nb::object parts = nb::module_::import_("pathlib").attr("Path")(path).attr("parts");
    nb::object first = parts.attr("index")("norvox"); // ValueError when absent
    nb::object kept = parts[nb::slice(first, nb::none(), nb::none())];
    nb::module_ os = nb::module_::import_("os");
    nb::object joined = os.attr("path").attr("join")(*kept);
    nb::object dotted = joined.attr("replace")(os.attr("sep"), ".");
    return dotted[nb::slice(nb::none(), nb::int_(-3), nb::none())];
}

NORVOX_SITE(logger_module_name);
nb::object logger_module_name(nb::handle name, nb::handle file) {
    check_exact(name, &PyUnicode_Type, "name");
    check_exact(file, &PyUnicode_Type, "file", true);
    if (!file.is_none() && nb::str(name).equal(nb::str("__main__")))
        return path_to_package_and_module(file);
    return nb::borrow(name);
}

NORVOX_SITE(get_logger);
nb::object get_logger(nb::handle name, nb::handle python_file) {
    check_exact(name, &PyUnicode_Type, "name");
    check_exact(python_file, &PyUnicode_Type, "python_file");
    nb::object get = nb::module_::import_("structlog").attr("get_logger");
    return get("module"_a = logger_module_name(name, python_file));
}

/// The stream the exception printer writes to: standard output of set-up time, one whole line
/// per write. `print` writes the text and its line end in two calls; another thread's log line
/// written between them would be glued to the traceback line and lost to a JSON reader.
/// Text is kept per thread until its line end arrives, then written at once.
NORVOX_SITE(WholeLineWriter);
struct WholeLineWriter {
    nb::object stream;
    nb::object pending; // threading.local(): this thread's text without its line end yet

    void write(nb::str text) {
        nb::object buffer = pending.attr("__dict__").attr("get")("text", "") + text;
        nb::tuple parts = nb::borrow<nb::tuple>(buffer.attr("rpartition")("\n"));
        if (!truthy(parts[1])) {
            pending.attr("text") = buffer;
            return;
        }
        pending.attr("text") = parts[2];
        stream.attr("write")(parts[0] + nb::str("\n"));
    }

    void flush() {
        nb::object held = pending.attr("__dict__").attr("get")("text", "");
        if (truthy(held)) {
            pending.attr("text") = "";
            stream.attr("write")(held);
        }
        stream.attr("flush")();
    }
};

/// How a log event is prepared for JSON: each float that is not finite (NaN, an infinity; float
/// subclasses too), at any depth of dicts, lists and tuples, becomes its printable text, since
/// JSON has no form for it. A container holding itself stays circular, and the encoder refuses
/// it as such.
struct FiniteNumbers {
    const char *where = " while preparing a log event for JSON";

    nb::object leaf(nb::handle value) const {
        if (!PyFloat_Check(value.ptr()))
            return nb::borrow(value);
        const double number = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isfinite(number))
            return nb::borrow(value);
        return nb::str(std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf");
    }
    nb::object key(nb::handle key) const { return nb::borrow(key); }
    nb::object member(nb::handle, nb::handle) const { return nb::object(); }
};

/// The JSON renderer's serializer: `dumps` (json.dumps) of the event, its non-finite numbers
/// written as text, with the options the renderer passes (its fallback for other values).
NORVOX_SITE(dumps_event);
nb::object dumps_event(nb::handle dumps, nb::handle event, nb::kwargs options) {
    nb::dict copies;
    return dumps(norvox::transformed(event, FiniteNumbers{}, copies), **options);
}

} // namespace

NORVOX_MODULE(logging, m) {
    // 1. The standard facilities and structlog.
    nb::module_ std_logging = nb::module_::import_("logging");
    nb::module_ atexit = nb::module_::import_("atexit");
    nb::module_ sys = nb::module_::import_("sys");
    nb::module_ structlog = nb::module_::import_("structlog");

    // 2. suppress_noisy_loggers.
    norvox::def(m, "suppress_noisy_loggers", suppress_noisy_loggers_site, &suppress_noisy_loggers,
                "Raise the HTTP client libraries' loggers to WARNING.");

    // 3. Root handler on standard output, bare message, INFO; left alone when already handled.
    std_logging.attr("basicConfig")("format"_a = "%(message)s", "stream"_a = sys.attr("stdout"),
                                    "level"_a = std_logging.attr("INFO"));

    // 4. flush_logs, run among the exit hooks.
    norvox::def(m, "flush_logs", flush_logs_site, &flush_logs, "Flush every handler of the root logger.");
    atexit.attr("register")(m.attr("flush_logs"));

    // 5.
    suppress_noisy_loggers();

    // 6. The shared chain.
    nb::object procs = structlog.attr("processors");
    nb::list shared;
    shared.append(structlog.attr("contextvars").attr("merge_contextvars"));
    shared.append(procs.attr("add_log_level"));
    shared.append(procs.attr("format_exc_info"));
    shared.append(procs.attr("StackInfoRenderer")());
    nb::class_<WholeLineWriter> writer(m, "_WholeLineWriter");
    writer.def("write", &WholeLineWriter::write).def("flush", &WholeLineWriter::flush);
    norvox::wrap_method(writer, m, "write", WholeLineWriter_site);
    norvox::wrap_method(writer, m, "flush", WholeLineWriter_site);
    nb::object exception_stream =
        nb::cast(WholeLineWriter{sys.attr("stdout"), nb::module_::import_("threading").attr("local")()});
    shared.append(procs.attr("ExceptionPrettyPrinter")(exception_stream));
    shared.append(procs.attr("TimeStamper")("iso"));
    m.attr("shared_processors") = shared;

    // 7. The renderer follows whether standard error is a terminal. The JSON one writes numbers
    // that JSON cannot hold (NaN, infinities) as text.
    nb::list renderer;
    if (norvox::truthy(sys.attr("stderr").attr("isatty")())) {
        renderer.append(structlog.attr("dev").attr("ConsoleRenderer")());
    } else {
        nb::object dumps = nb::module_::import_("json").attr("dumps");
        nb::object serializer = norvox::wrap_function(
            m,
            nb::cpp_function(
                [dumps](nb::handle event, nb::kwargs options) { return dumps_event(dumps, event, options); },
                nb::name("dumps_event")),
            "dumps_event", dumps_event_site, false);
        renderer.append(procs.attr("JSONRenderer")("serializer"_a = serializer));
    }
    m.attr("processors") = renderer;

    // 8. A chain of its own, so later changes to the two globals have no effect.
    nb::list chain;
    for (nb::handle step : shared)
        chain.append(step);
    for (nb::handle step : renderer)
        chain.append(step);
    nb::object stdlib = structlog.attr("stdlib");
    structlog.attr("configure")("processors"_a = chain, "logger_factory"_a = stdlib.attr("LoggerFactory")(),
                                "wrapper_class"_a = stdlib.attr("BoundLogger"), "cache_logger_on_first_use"_a = true);

    // 9. The naming functions and get_logger.
    norvox::def(m, "path_to_package_and_module", path_to_package_and_module_site, &path_to_package_and_module,
                nb::arg("path").none(), nb::sig("def path_to_package_and_module(path: str) -> str"),
                "Dotted module name made from a source file path.");
    norvox::def(m, "logger_module_name", logger_module_name_site, &logger_module_name, nb::arg("name").none(),
                nb::arg("file").none() = nb::none(),
                nb::sig("def logger_module_name(name: str, file: str | None = None) -> str"),
                "The module name for a logger: the file's dotted name for __main__, else the name.");
    // structlog hands out a lazy proxy that becomes this wrapper class at its first use.
    norvox::def(m, "get_logger", get_logger_site, &get_logger, nb::arg("name").none(), nb::arg("python_file").none(),
                nb::sig("def get_logger(name: str, python_file: str) -> structlog.stdlib.BoundLogger"),
                "The module logger for the given module name and source file.");
}

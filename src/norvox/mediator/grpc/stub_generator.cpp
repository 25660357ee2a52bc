// norvox.mediator.grpc.stub_generator: regenerates the mediator's gRPC modules.
//
// Loading the module compiles ./mediator.proto into ./generated (paths relative to the working
// directory); the program (console script `stub_generator`) then makes the service module take
// the message module from its own package.
#include <nanobind/nanobind.h>

#include "norvox/python/module.h"

namespace nb = nanobind;

namespace {

constexpr const char *service_module_path = "generated/mediator_pb2_grpc.py";
constexpr const char *absolute_import = "import mediator_pb2 as mediator__pb2";
constexpr const char *relative_prefix = "from . ";

/// Calls `use(file)` on the file opened with `mode`, closing it also when `use` fails.
template <typename Use> auto with_open(const char *mode, Use &&use) {
    nb::object file = nb::module_::import_("builtins").attr("open")(service_module_path, mode);
    try {
        auto result = use(file);
        file.attr("close")();
        return result;
    } catch (nb::python_error &) {
        try {
            file.attr("close")();
        } catch (nb::python_error &) {
            // The error of the read or write is the one to report.
        }
        throw;
    }
}

/// `content` with every absolute import of the message module made relative. An import that
/// already stands in the relative form is left alone, so running twice changes nothing.
nb::str relative_imports(nb::str content) {
    nb::str searched(absolute_import);
    nb::str prefix(relative_prefix);
    const Py_ssize_t searched_length = nb::len(searched);
    const Py_ssize_t prefix_length = nb::len(prefix);
    nb::list pieces;
    Py_ssize_t start = 0;
    for (;;) {
        Py_ssize_t found = nb::cast<Py_ssize_t>(content.attr("find")(searched, start));
        if (found < 0)
            break;
        Py_ssize_t end = found + searched_length;
        bool already_relative =
            found >= prefix_length && nb::cast<bool>(content.attr("startswith")(prefix, found - prefix_length));
        pieces.append(content[nb::slice(start, found)]);
        pieces.append(already_relative ? searched : prefix + searched);
        start = end;
    }
    pieces.append(content[nb::slice(start, static_cast<Py_ssize_t>(nb::len(content)))]);
    return nb::borrow<nb::str>(nb::str("").attr("join")(pieces));
}

NORVOX_SITE(fix_imports);
void fix_imports() {
    nb::str content = with_open("r", [](nb::handle file) { return nb::borrow<nb::str>(file.attr("read")()); });
    nb::str fixed = relative_imports(content);
    with_open("w", [&](nb::handle file) { return file.attr("write")(fixed); });
}

} // namespace

NORVOX_MODULE(stub_generator, m) {
    m.doc() = "Runs protoc with the gRPC plugin to generate messages and gRPC stubs.";

    // 1.-2. The compiler, run once per load; its status is not looked at.
    nb::module_ protoc = nb::module_::import_("grpc_tools.protoc");
    m.attr("protoc") = protoc;
    protoc.attr("main")(nb::make_tuple("", "-I.", "--pyi_out=./generated", "--python_out=./generated",
                                       "--grpc_python_out=./generated", "./mediator.proto"));

    // 3.
    norvox::def(m, "fix_imports", fix_imports_site, &fix_imports,
                "Fixes imports in the generated code to use relative imports.");

    // 4. The program block: loading has compiled already.
    nb::object module = m;
    norvox::def(
        m, "main", NORVOX_HERE, [module]() { module.attr("fix_imports")(); },
        "Program block of the stub_generator console script: fixes the imports of the code "
        "that loading the module generated.");
}

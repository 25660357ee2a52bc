// norvox.util.config: the operator tools' settings, from the environment and ~/.velk/dederi.env,
// and the choice of the active per-environment configuration file.
#include <nanobind/nanobind.h>

#include <cstdio>
#include <random>

#include "norvox/python/args.h"
#include "norvox/python/module.h"
#include "norvox/python/runtime.h"
#include "norvox/python/settings.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::env_text;

namespace {

/// The settings dictionary's keys with their environment variables, in the dictionary's order.
constexpr const char *config_entries[][2] = {
    {"env", "ENV"},
    {"mediator_server", "MEDIATOR_SERVER"},
    {"supabase_url", "SUPABASE_URL"},
    {"supabase_anon_key", "SUPABASE_ANON_KEY"},
    {"supabase_access_token", "SUPABASE_ACCESS_TOKEN"},
    {"fly_api_token", "FLY_API_TOKEN"},
    {"fly_dns_server", "FLY_DNS_SERVER"},
    {"fly_region", "FLY_REGION"},
    {"socks_host", "SOCKS_HOST"},
    {"socks_port", "SOCKS_PORT"},
    {"socks_username", "SOCKS_USERNAME"},
    {"socks_password", "SOCKS_PASSWORD"},
    {"norvox_image", "NORVOX_IMAGE"},
    {"mediator_inactivity_seconds", "MEDIATOR_INACTIVITY_SECONDS"},
};

constexpr const char *missing_config_line =
    "ERROR: ~/.velk/dederi.env does not exist. See tool help for how to set this up.";

nb::object os_path() { return nb::module_::import_("os").attr("path"); }

/// ~/.velk, expanded now.
nb::object config_folder() {
    nb::object path = os_path();
    return path.attr("join")(path.attr("expanduser")("~"), ".velk");
}

/// Set to non-empty text in the process environment.
bool env_present(const char *name) {
    nb::object value = env_text(name);
    return !value.is_none() && nb::len(value) != 0;
}

/// Enough settings to work without a file: the database pair, or else a mediator address.
bool settings_in_environment() {
    return (env_present("SUPABASE_URL") && env_present("SUPABASE_ANON_KEY")) || env_present("MEDIATOR_SERVER");
}

nb::dict load_config(nb::handle module) {
    nb::object config_file = module.attr("DMP_CONFIG_FILE");
    if (norvox::truthy(os_path().attr("isfile")(config_file))) {
        module.attr("load_dotenv")(config_file);
    } else if (!settings_in_environment()) {
        nb::module_::import_("builtins").attr("print")(missing_config_line);
        norvox::exit_with(5);
    }
    nb::dict config;
    for (const auto &[key, variable] : config_entries)
        config[key] = env_text(variable);
    return config;
}

/// A path in `folder` for the new link, unlikely to be taken.
nb::str temporary_link_name(nb::handle folder) {
    std::random_device random;
    char name[40];
    std::snprintf(name, sizeof name, ".dederi.env.%08x%08x.tmp", random(), random());
    return nb::str(os_path().attr("join")(folder, name));
}

NORVOX_SITE(set_config);
void set_config(nb::handle env) {
    nb::str name = norvox::exact_str(env, "env");
    nb::object path = os_path();
    nb::object config_path = config_folder();
    nb::object target_path = path.attr("join")(config_path, "dederi.env");
    nb::object source_path = path.attr("join")(config_path, nb::str("dederi.") + name + nb::str(".env"));
    if (!norvox::truthy(path.attr("exists")(source_path))) {
        nb::object message = nb::str("Configuration file does not exist: ") + nb::str(source_path);
        PyErr_SetObject(PyExc_Exception, message.ptr());
        throw nb::python_error();
    }
    // The new link is made beside dederi.env and renamed over it, so dederi.env is never
    // missing: when the link cannot be made, the old file or link stays as it was. The rename
    // also replaces a link whose target is gone, and refuses a folder of that name.
    nb::module_ os = nb::module_::import_("os");
    nb::str temporary = temporary_link_name(config_path);
    os.attr("symlink")(source_path, temporary);
    try {
        os.attr("replace")(temporary, target_path);
    } catch (nb::python_error &) {
        try {
            os.attr("unlink")(temporary);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

} // namespace

NORVOX_MODULE(config, m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("load_dotenv") = nb::module_::import_("dotenv").attr("load_dotenv");

    nb::object path = os_path();
    nb::object config_dir = config_folder();
    m.attr("CONFIG_DIR") = config_dir;
    m.attr("DMP_CONFIG_FILE") = path.attr("join")(config_dir, "dederi.env");

    nb::object module = m;
    norvox::def(
        m, "load_config", NORVOX_HERE, [module]() { return load_config(module); },
        nb::sig("def load_config() -> dict[str, str | None]"),
        "Load ~/.velk/dederi.env into the environment when it exists (variables already set "
        "win) and return the fourteen settings as the environment holds them, None for unset "
        "ones. Without the file and without settings in the environment, print an error line "
        "and exit with status 5.");
    norvox::def(m, "set_config", set_config_site, &set_config, nb::arg("env").none(),
                nb::sig("def set_config(env: str) -> None"),
                "Make ~/.velk/dederi.env a symbolic link to ~/.velk/dederi.<env>.env.");
}

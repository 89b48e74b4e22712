// The program on the session bus with GIO's D-Bus (the library libsecret
// already brings): a private connection served by a GLib main loop on a
// thread of its own. A method call is handed to the program's loop and
// answered from there; GDBus lets any thread answer a call or emit a signal.
#include "app/bus/program_bus.h"

#include <gio/gio.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "app/text/display_text.h"
#include "codec/whole_number.h"

namespace corvel {
namespace {

constexpr char kFailedError[] = "org.freedesktop.DBus.Error.Failed";

// Owners of the GLib objects, released on every path.
struct ErrorHolder {
  GError* error = nullptr;
  ~ErrorHolder() {
    if (error != nullptr) g_error_free(error);
  }
  [[nodiscard]] std::string Text() const {
    return error != nullptr && error->message != nullptr ? error->message : "unknown error";
  }
};

std::string Name(std::string_view text) { return std::string(text); }

// Whether a session bus is named (or sits at its usual place): without one,
// GLib would try to start a bus of its own for the display.
bool SessionBusKnown() {
  const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = g_getenv("XDG_RUNTIME_DIR");
  return (address != nullptr && *address != '\0') ||
         (runtime != nullptr && std::filesystem::exists(std::filesystem::path(runtime) / "bus"));
}

// A private connection to the session bus; nullptr, with why, without one.
GDBusConnection* ConnectSessionBus(std::string& why) {
  if (!SessionBusKnown()) {
    why = "no session bus";
    return nullptr;
  }
  ErrorHolder error;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error.error);
  if (address == nullptr) {
    why = "no session bus: " + error.Text();
    return nullptr;
  }
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error.error);
  g_free(address);
  if (connection == nullptr) {
    why = "the session bus cannot be reached: " + error.Text();
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

// What the bus thread and the loop thread share. `alive` and `host` are the
// loop thread's; the connection is set once by the bus thread.
struct Core : std::enable_shared_from_this<Core> {
  EventLoop* loop = nullptr;
  ProgramBusHost* host = nullptr;
  std::function<void(std::string_view)> tell;
  std::string folder;
  bool alive = true;  // loop thread only
  std::mutex mutex;
  GDBusConnection* connection = nullptr;  // under the mutex
  std::atomic<bool> owned{false};

  GVariant* Answer(const std::string& method) const {
    if (method == "CheckNow") {
      host->BusCheckNow();
      return g_variant_new("()");
    }
    if (method == "GetNewMail") {
      GVariantBuilder rows;
      g_variant_builder_init(&rows, G_VARIANT_TYPE("a(ssssxs)"));
      for (const MailRow& row : host->BusNewMail()) {
        const auto columns = DisplayColumns(row);
        g_variant_builder_add(&rows, "(ssssxs)", columns[0].c_str(), columns[1].c_str(),
                              columns[2].c_str(), columns[3].c_str(),
                              static_cast<gint64>(ParseWholeNumber(row.bytes).value_or(0)),
                              columns[5].c_str());
      }
      return g_variant_new("(a(ssssxs))", &rows);
    }
    GVariantBuilder accounts;
    g_variant_builder_init(&accounts, G_VARIANT_TYPE("a(sxxxs)"));
    for (const AccountCounts& counts : host->BusCounts()) {
      g_variant_builder_add(
          &accounts, "(sxxxs)", DisplayText(counts.account).c_str(),
          static_cast<gint64>(counts.newCount), static_cast<gint64>(counts.newBytes),
          static_cast<gint64>(counts.lastCheck), DisplayText(counts.failure).c_str());
    }
    return g_variant_new("(a(sxxxs))", &accounts);
  }

  void Emit(const char* signal, GVariant* parameters) {
    g_variant_ref_sink(parameters);
    std::lock_guard lock(mutex);
    if (connection != nullptr && owned) {
      g_dbus_connection_emit_signal(connection, nullptr, Name(kBusPath).c_str(),
                                    Name(kBusInterface).c_str(), signal, parameters, nullptr);
    }
    g_variant_unref(parameters);
  }
};

void MethodCall(GDBusConnection* /*connection*/, const gchar* /*sender*/, const gchar* /*path*/,
                const gchar* /*interface*/, const gchar* method, GVariant* /*parameters*/,
                GDBusMethodInvocation* invocation, gpointer data) {
  std::shared_ptr<Core> core = static_cast<Core*>(data)->shared_from_this();
  g_object_ref(invocation);
  core->loop->Post([core, invocation, method = std::string(method)] {
    if (core->alive) {
      g_dbus_method_invocation_return_value(invocation, core->Answer(method));
    } else {
      g_dbus_method_invocation_return_dbus_error(invocation, kFailedError, "Corvel is ending");
    }
    g_object_unref(invocation);
  });
}

GVariant* GetProperty(GDBusConnection* /*connection*/, const gchar* /*sender*/,
                      const gchar* /*path*/, const gchar* /*interface*/, const gchar* property,
                      GError** error, gpointer data) {
  const auto* core = static_cast<const Core*>(data);
  if (std::string_view(property) == "Folder") return g_variant_new_string(core->folder.c_str());
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
  return nullptr;
}

const GDBusInterfaceVTable kVTable = {MethodCall, GetProperty, nullptr, {}};

class GioProgramBus final : public ProgramBus {
 public:
  explicit GioProgramBus(std::shared_ptr<Core> core)
      : core_(std::move(core)),
        context_(g_main_context_new()),
        mainLoop_(g_main_loop_new(context_, FALSE)) {
    thread_ = std::thread([this] { Serve(); });
  }

  ~GioProgramBus() override {
    core_->alive = false;
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        mainLoop_);
    thread_.join();
    g_main_loop_unref(mainLoop_);
    g_main_context_unref(context_);
  }

  void NewMail(std::string_view account, std::int64_t count, std::int64_t bytes) override {
    core_->Emit("NewMail", g_variant_new("(sxx)", DisplayText(account).c_str(),
                                         static_cast<gint64>(count), static_cast<gint64>(bytes)));
  }

  void CheckFailed(std::string_view account, std::string_view reason) override {
    core_->Emit("CheckFailed",
                g_variant_new("(ss)", DisplayText(account).c_str(), DisplayText(reason).c_str()));
  }

 private:
  void Serve() {
    g_main_context_push_thread_default(context_);
    std::string why;
    GDBusConnection* connection = ConnectSessionBus(why);
    GDBusNodeInfo* node = nullptr;
    guint registration = 0;
    guint owner = 0;
    if (connection != nullptr) {
      ErrorHolder error;
      node = g_dbus_node_info_new_for_xml(std::string(BusIntrospectionXml()).c_str(), &error.error);
      if (node != nullptr && node->interfaces != nullptr && node->interfaces[0] != nullptr) {
        registration = g_dbus_connection_register_object(connection, Name(kBusPath).c_str(),
                                                         node->interfaces[0], &kVTable, core_.get(),
                                                         nullptr, &error.error);
      }
      if (registration != 0) {
        {
          std::lock_guard lock(core_->mutex);
          core_->connection = connection;
        }
        // A program that holds the name already keeps it; this one waits in
        // line and takes it over when that one ends.
        owner = g_bus_own_name_on_connection(
            connection, Name(kBusName).c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, gpointer data) {
              static_cast<Core*>(data)->owned = true;
            },
            [](GDBusConnection*, const gchar*, gpointer data) {
              auto* core = static_cast<Core*>(data);
              const bool had = core->owned.exchange(false);
              std::shared_ptr<Core> shared = core->shared_from_this();
              core->loop->Post([shared, had] {
                if (!shared->alive || !shared->tell) return;
                shared->tell(had ? "Lost the name io.corvel.Corvel on the session bus"
                                 : "Another Corvel program answers as io.corvel.Corvel on the "
                                   "session bus; this one takes over when it ends");
              });
            },
            core_.get(), nullptr);
      }
    }
    g_main_loop_run(mainLoop_);
    if (owner != 0) g_bus_unown_name(owner);
    if (registration != 0) g_dbus_connection_unregister_object(connection, registration);
    if (connection != nullptr) {
      {
        std::lock_guard lock(core_->mutex);
        core_->connection = nullptr;
      }
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    if (node != nullptr) g_dbus_node_info_unref(node);
    // What the closing left for this context, before it goes.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
  }

  std::shared_ptr<Core> core_;
  GMainContext* context_;
  GMainLoop* mainLoop_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<ProgramBus> ExportProgramBus(EventLoop& loop, ProgramBusHost& host,
                                             const std::filesystem::path& folder,
                                             std::function<void(std::string_view)> tell,
                                             std::string& why) {
  if (!SessionBusKnown()) {
    why = "no session bus";
    return nullptr;
  }
  auto core = std::make_shared<Core>();
  core->loop = &loop;
  core->host = &host;
  core->tell = std::move(tell);
  core->folder = DisplayText(folder.string());
  return std::make_unique<GioProgramBus>(std::move(core));
}

bool SystemKeyringReachable() {
  std::string why;
  GDBusConnection* connection = ConnectSessionBus(why);
  if (connection == nullptr) return false;
  bool found = false;
  for (const char* method : {"NameHasOwner", "ListActivatableNames"}) {
    const bool owner = std::string_view(method) == "NameHasOwner";
    GVariant* reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        owner ? g_variant_new("(s)", "org.freedesktop.secrets") : nullptr,
        G_VARIANT_TYPE(owner ? "(b)" : "(as)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    if (reply == nullptr) continue;
    if (owner) {
      gboolean has = FALSE;
      g_variant_get(reply, "(b)", &has);
      found = has != FALSE;
    } else {
      GVariantIter* names = nullptr;
      g_variant_get(reply, "(as)", &names);
      const gchar* name = nullptr;
      while (!found && g_variant_iter_loop(names, "&s", &name)) {
        found = std::string_view(name) == "org.freedesktop.secrets";
      }
      g_variant_iter_free(names);
    }
    g_variant_unref(reply);
    if (found) break;
  }
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
  return found;
}

std::optional<RunningProgramCounts> AskRunningProgram(int timeoutMs, std::string& why) {
  GDBusConnection* connection = ConnectSessionBus(why);
  if (connection == nullptr) return std::nullopt;
  const auto call = [&](const char* interface, const char* method, GVariant* parameters,
                        const char* replyType) {
    ErrorHolder error;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, Name(kBusName).c_str(), Name(kBusPath).c_str(), interface, method, parameters,
        G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr,
        &error.error);
    if (reply == nullptr) why = error.Text();
    return reply;
  };
  std::optional<RunningProgramCounts> result;
  GVariant* folder = call("org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", Name(kBusInterface).c_str(), "Folder"), "(v)");
  GVariant* counts = folder != nullptr
                         ? call(Name(kBusInterface).c_str(), "GetCounts", nullptr, "(a(sxxxs))")
                         : nullptr;
  if (counts != nullptr) {
    result.emplace();
    GVariant* value = nullptr;
    g_variant_get(folder, "(v)", &value);
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
      result->folder = g_variant_get_string(value, nullptr);
    }
    g_variant_unref(value);
    GVariantIter* accounts = nullptr;
    g_variant_get(counts, "(a(sxxxs))", &accounts);
    const gchar* name = nullptr;
    const gchar* failure = nullptr;
    gint64 count = 0, bytes = 0, lastCheck = 0;
    while (
        g_variant_iter_loop(accounts, "(&sxxx&s)", &name, &count, &bytes, &lastCheck, &failure)) {
      result->accounts.push_back({name, count, bytes, lastCheck, failure});
    }
    g_variant_iter_free(accounts);
    g_variant_unref(counts);
  }
  if (folder != nullptr) g_variant_unref(folder);
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
  return result;
}

}  // namespace corvel

// The keyring on Linux: the Secret Service (gnome-keyring, KWallet, KeePassXC)
// over D-Bus through libsecret. Only the calls that never prompt are used: a
// locked keyring is reported, not unlocked, so a check never waits for a
// password dialog that a tray program cannot show.
#include <libsecret/secret.h>

#include "app/auth/secret_store.h"

namespace corvel {
namespace {

const SecretSchema* AccountSchema() {
  static const SecretSchema schema = {"org.qor.Corvel.Account",
                                      SECRET_SCHEMA_NONE,
                                      {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER},
                                       {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                      0,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr};
  return &schema;
}

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

template <typename T>
struct ObjectHolder {
  T* object = nullptr;
  ~ObjectHolder() {
    if (object != nullptr) g_object_unref(object);
  }
};

struct Attributes {
  GHashTable* table;
  explicit Attributes(const SecretKey& key)
      : table(secret_attributes_build(AccountSchema(), "server", key.server.c_str(), "port",
                                      static_cast<int>(key.port), "user", key.user.c_str(), "kind",
                                      key.kind.c_str(), nullptr)) {}
  ~Attributes() { g_hash_table_unref(table); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
};

SecretResult Failure(std::string reason) { return {false, {}, std::move(reason)}; }

class LibsecretStore final : public SecretStore {
 public:
  SecretResult Read(const SecretKey& key) override {
    ObjectHolder<SecretService> service;
    if (!Connect(service, reason_)) return Failure(reason_);
    Attributes attributes(key);
    ErrorHolder error;
    GList* items = secret_service_search_sync(service.object, AccountSchema(), attributes.table,
                                              SECRET_SEARCH_LOAD_SECRETS, nullptr, &error.error);
    if (error.error != nullptr) return Failure("Keyring search failed: " + error.Text());
    SecretResult result = Failure("No " + key.kind + " for this account in the keyring");
    if (items != nullptr) {
      auto* item = static_cast<SecretItem*>(items->data);
      if (secret_item_get_locked(item)) {
        result = Failure("The keyring is locked");
      } else if (SecretValue* value = secret_item_get_secret(item)) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        result = {true, std::string(bytes, length), {}};
        secret_value_unref(value);
      }
    }
    g_list_free_full(items, g_object_unref);
    return result;
  }

  SecretResult Write(const SecretKey& key, std::string_view label,
                     std::string_view secret) override {
    ObjectHolder<SecretService> service;
    if (!Connect(service, reason_)) return Failure(reason_);
    ErrorHolder error;
    ObjectHolder<SecretCollection> collection;
    collection.object = secret_collection_for_alias_sync(
        service.object, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error.error);
    if (collection.object == nullptr) {
      return Failure(error.error != nullptr ? "Keyring not usable: " + error.Text()
                                            : "The keyring has no default collection");
    }
    if (secret_collection_get_locked(collection.object)) return Failure("The keyring is locked");
    Attributes attributes(key);
    SecretValue* value =
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    const std::string labelText(label);
    const gboolean stored = secret_service_store_sync(
        service.object, AccountSchema(), attributes.table, SECRET_COLLECTION_DEFAULT,
        labelText.c_str(), value, nullptr, &error.error);
    secret_value_unref(value);
    if (!stored) return Failure("Keyring refused the secret: " + error.Text());
    return {true, {}, {}};
  }

  SecretResult Erase(const SecretKey& key) override {
    // A locked item could be removed only after a prompt: refuse instead.
    SecretResult found = Read(key);
    if (!found.ok && found.reason == "The keyring is locked") return found;
    ObjectHolder<SecretService> service;
    if (!Connect(service, reason_)) return Failure(reason_);
    Attributes attributes(key);
    ErrorHolder error;
    secret_service_clear_sync(service.object, AccountSchema(), attributes.table, nullptr,
                              &error.error);
    if (error.error != nullptr)
      return Failure("Keyring could not remove the secret: " + error.Text());
    return {true, {}, {}};
  }

 private:
  static bool Connect(ObjectHolder<SecretService>& service, std::string& reason) {
    ErrorHolder error;
    service.object = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error.error);
    if (service.object == nullptr) {
      reason = "No keyring (Secret Service) reachable: " + error.Text();
      return false;
    }
    return true;
  }

  std::string reason_;
};

}  // namespace

std::unique_ptr<SecretStore> SystemSecretStore() { return std::make_unique<LibsecretStore>(); }

}  // namespace corvel

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
                                       {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
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
                                      key.kind.c_str(), nullptr)) {
    if (!key.account.empty()) {
      g_hash_table_insert(table, g_strdup("account"), g_strdup(key.account.c_str()));
    }
  }
  ~Attributes() { g_hash_table_unref(table); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
};

SecretResult Failure(std::string reason) { return {false, {}, std::move(reason)}; }

// A search finds every item that has the attributes asked for, whatever
// others it has: an entry of an older version (a key without an account) is
// one that has no account attribute.
bool BelongsTo(SecretItem* item, const SecretKey& key) {
  if (!key.account.empty()) return true;
  GHashTable* attributes = secret_item_get_attributes(item);
  const bool legacy = attributes == nullptr || !g_hash_table_contains(attributes, "account");
  if (attributes != nullptr) g_hash_table_unref(attributes);
  return legacy;
}

struct ItemList {
  GList* items = nullptr;
  ~ItemList() { g_list_free_full(items, g_object_unref); }
};

class LibsecretStore final : public SecretStore {
 public:
  SecretResult Read(const SecretKey& key) override {
    ObjectHolder<SecretService> service;
    if (!Connect(service, reason_)) return Failure(reason_);
    ErrorHolder error;
    const ItemList found = Search(service.object, key, error);
    if (error.error != nullptr) return Failure("Keyring search failed: " + error.Text());
    for (GList* entry = found.items; entry != nullptr; entry = entry->next) {
      auto* item = static_cast<SecretItem*>(entry->data);
      if (!BelongsTo(item, key)) continue;
      if (secret_item_get_locked(item)) return Failure("The keyring is locked");
      if (SecretValue* value = secret_item_get_secret(item)) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        SecretResult result{true, std::string(bytes, length), {}};
        secret_value_unref(value);
        return result;
      }
    }
    return Failure("No " + key.kind + " for this account in the keyring");
  }

  SecretResult Write(const SecretKey& key, std::string_view label,
                     std::string_view secret) override {
    // The keyring replaces every item that has the attributes of the new one:
    // a key without an account would replace the entries of all accounts of
    // the same user.
    if (key.account.empty()) return Failure("The account has no seen-file name to file it under");
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
    const SecretResult read = Read(key);
    if (!read.ok && read.reason == "The keyring is locked") return read;
    ObjectHolder<SecretService> service;
    if (!Connect(service, reason_)) return Failure(reason_);
    ErrorHolder error;
    const ItemList found = Search(service.object, key, error);
    for (GList* entry = found.items; entry != nullptr && error.error == nullptr;
         entry = entry->next) {
      auto* item = static_cast<SecretItem*>(entry->data);
      if (BelongsTo(item, key)) secret_item_delete_sync(item, nullptr, &error.error);
    }
    if (error.error != nullptr)
      return Failure("Keyring could not remove the secret: " + error.Text());
    return {true, {}, {}};
  }

 private:
  // Every item with the key's attributes (and perhaps others), secrets
  // loaded.
  static ItemList Search(SecretService* service, const SecretKey& key, ErrorHolder& error) {
    Attributes attributes(key);
    return {secret_service_search_sync(
        service, AccountSchema(), attributes.table,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
        &error.error)};
  }

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

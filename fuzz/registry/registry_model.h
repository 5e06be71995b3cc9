// Model-based run of the registry store: an input that starts with 'M' is read
// as up to a dozen binary operations on a few keys (below HKEY_CLASSES_ROOT,
// one to three levels deep) and a few value names, in any letter case. Every
// operation is made on the store and on an in-memory model of what a
// registry holds (a key's values by name, letter case ignored; a key is
// deleted only without subkeys; creating a key creates the keys on its way).
// Each step's answer must be the model's, and after the last step the store
// must read back as the model says: each key opens or is missing, and each
// value name is there with its type and bytes, or is missing.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"

namespace registry_model {

inline void Expect(bool ok, const char* what, const std::string& key, const std::string& name) {
  if (!ok) {
    std::fprintf(stderr, "registry_store_fuzz (model): %s: key [%s] value [%s]\n", what, key.c_str(), name.c_str());
    std::abort();
  }
}

inline std::string Folded(const std::string& text) {
  std::string out;
  for (char c : text) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  return out;
}

inline std::string Cased(const std::string& text, uint8_t bits) {
  std::string out = text;
  for (size_t i = 0; i < out.size(); ++i) {
    if ((bits >> (i % 8)) & 1 && out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 'a' + 'A');
  }
  return out;
}

struct Value {
  uint32_t type;
  std::string data;
};
using Model = std::map<std::string, std::map<std::string, Value>>;  // folded key path -> folded name -> value

inline void Run(plat::Registry* store, const uint8_t* data, size_t size) {
  static const char* const kKeys[] = {"kelvo", "kelvo\\shell", "kelvo\\shell\\open", "other", "Other\\x y"};
  static const char* const kNames[] = {"", "URL Protocol", "a", "EditFlags"};
  constexpr plat::RegKey kRoot = plat::kHkeyClassesRoot;
  Model model;
  for (size_t i = 0; i + 2 < size && i < 3 * 12; i += 3) {
    uint8_t op = data[i] & 3;
    std::string key = Cased(kKeys[(data[i] >> 2) % 5], data[i + 1]);
    std::string name = Cased(kNames[(data[i] >> 5) % 4], static_cast<uint8_t>(data[i + 1] >> 4));
    std::string bytes(data[i + 2] % 7, static_cast<char>('a' + data[i + 2] % 5));
    uint32_t type = data[i + 2] % 2 ? plat::kRegSz : 3;
    std::string folded = Folded(key);
    if (op == 0) {  // set a value, creating the key and those on its way
      plat::RegKey k = 0;
      Expect(store->CreateKey(kRoot, key.c_str(), &k) == 0, "a key can't be created", key, name);
      Expect(store->SetValue(k, name.c_str(), type, bytes.data(), static_cast<uint32_t>(bytes.size())) == 0,
             "a value can't be set", key, name);
      store->CloseKey(k);
      for (size_t at = folded.find('\\'); at != std::string::npos; at = folded.find('\\', at + 1)) {
        model[folded.substr(0, at)];
      }
      model[folded][Folded(name)] = {type, bytes};
    } else if (op == 1) {  // delete a value
      plat::RegKey k = 0;
      if (store->OpenKey(kRoot, key.c_str(), true, &k) == 0) {
        int32_t rc = store->DeleteValue(k, name.c_str());
        store->CloseKey(k);
        bool had = model.count(folded) && model[folded].erase(Folded(name)) > 0;
        Expect((rc == 0) == had, "deleting a value disagrees with the model", key, name);
      }
    } else if (op == 2) {  // delete a key (only one without subkeys)
      bool exists = model.count(folded) > 0;
      bool hasSubkeys = false;
      for (const auto& entry : model) {
        if (entry.first.compare(0, folded.size() + 1, folded + "\\") == 0) hasSubkeys = true;
      }
      int32_t rc = store->DeleteKey(kRoot, key.c_str());
      Expect((rc == 0) == (exists && !hasSubkeys), "deleting a key disagrees with the model", key, name);
      if (rc == 0) model.erase(folded);
    } else {  // create a key
      plat::RegKey k = 0;
      Expect(store->CreateKey(kRoot, key.c_str(), &k) == 0, "a key can't be created", key, name);
      store->CloseKey(k);
      for (size_t at = folded.find('\\'); at != std::string::npos; at = folded.find('\\', at + 1)) {
        model[folded.substr(0, at)];
      }
      model[folded];
    }
  }
  // The whole store against the model.
  {
    for (const char* path : kKeys) {
      plat::RegKey k = 0;
      int32_t rc = store->OpenKey(kRoot, path, false, &k);
      auto it = model.find(Folded(path));
      Expect((rc == 0) == (it != model.end()), "a key opens or is missing against the model", path, "");
      if (rc != 0) continue;
      for (const char* valueName : kNames) {
        // One read each: the model's data is at most six bytes, and this
        // room holds any of it (the size-only and too-small answers are
        // the step runs' to check).
        char got[16];
        uint32_t gotType = 0, room = sizeof got;
        int32_t q = store->QueryValue(k, valueName, &gotType, got, &room);
        auto v = it->second.find(Folded(valueName));
        Expect((q == 0) == (v != it->second.end()), "a value is there or missing against the model", path,
               valueName);
        if (q != 0) continue;
        Expect(gotType == v->second.type && std::string(got, room) == v->second.data,
               "a value reads back other than the model has it", path, valueName);
      }
      store->CloseKey(k);
    }
  }
}

}  // namespace registry_model

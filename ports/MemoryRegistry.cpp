#include "MemoryRegistry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace ports {

struct MemoryRegistry::Node {
  std::string name;
  std::string path;
  std::vector<std::unique_ptr<Node>> children;
  std::vector<std::pair<std::string, std::string>> values;
  LONG openStatus = ERROR_SUCCESS;
  LONG queryStatus = ERROR_SUCCESS;

  Node* Child(const std::string& childName) const;
};

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto up = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
           return up(x) == up(y);
         });
}

// Splits at single backslashes; an empty component (a doubled or leading
// backslash) is kept so that such a path fails to open.
std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  if (path.empty()) return parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    parts.push_back(path.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

}  // namespace

MemoryRegistry::Node* MemoryRegistry::Node::Child(const std::string& childName) const {
  for (const auto& child : children) {
    if (SameName(child->name, childName)) return child.get();
  }
  return nullptr;
}

MemoryRegistry::MemoryRegistry()
    : localMachine_(std::make_unique<Node>()), dynData_(std::make_unique<Node>()) {}

MemoryRegistry::~MemoryRegistry() = default;

void MemoryRegistry::SetVersion(DWORD platformId, DWORD majorVersion, bool succeeds) {
  platformId_ = platformId;
  majorVersion_ = majorVersion;
  versionSucceeds_ = succeeds;
}

MemoryRegistry::Node* MemoryRegistry::Find(HKEY root, const std::string& path) const {
  Node* node = root == HKEY_LOCAL_MACHINE ? localMachine_.get()
               : root == HKEY_DYN_DATA    ? dynData_.get()
                                          : nullptr;
  for (const std::string& part : Split(path)) {
    if (node == nullptr || part.empty()) return nullptr;
    node = node->Child(part);
  }
  return node;
}

MemoryRegistry::Node* MemoryRegistry::Create(HKEY root, const std::string& path) {
  Node* node = root == HKEY_LOCAL_MACHINE ? localMachine_.get()
               : root == HKEY_DYN_DATA    ? dynData_.get()
                                          : nullptr;
  if (node == nullptr) throw std::invalid_argument("MemoryRegistry: unknown root");
  for (const std::string& part : Split(path)) {
    if (part.empty()) throw std::invalid_argument("MemoryRegistry: empty key name in " + path);
    Node* child = node->Child(part);
    if (child == nullptr) {
      auto created = std::make_unique<Node>();
      created->name = part;
      created->path = node->path.empty() ? part : node->path + "\\" + part;
      child = created.get();
      node->children.push_back(std::move(created));
    }
    node = child;
  }
  return node;
}

void MemoryRegistry::AddKey(HKEY root, const std::string& path) {
  Create(root, path);
}

void MemoryRegistry::SetString(HKEY root, const std::string& path, const std::string& name,
                               const std::string& text) {
  SetData(root, path, name, text + '\0');
}

void MemoryRegistry::SetData(HKEY root, const std::string& path, const std::string& name,
                             const std::string& bytes) {
  Node* node = Create(root, path);
  for (auto& value : node->values) {
    if (SameName(value.first, name)) {
      value.second = bytes;
      return;
    }
  }
  node->values.emplace_back(name, bytes);
}

void MemoryRegistry::FailOpen(HKEY root, const std::string& path, LONG status) {
  Create(root, path)->openStatus = status;
}

void MemoryRegistry::FailQuery(HKEY root, const std::string& path, LONG status) {
  Create(root, path)->queryStatus = status;
}

std::vector<std::string> MemoryRegistry::OpenKeyPaths() const {
  std::vector<std::string> paths;
  for (const auto& entry : open_) paths.push_back(entry.second->path);
  return paths;
}

MemoryRegistry::Node* MemoryRegistry::Handle(HKEY key) const {
  const auto it = open_.find(key);
  return it == open_.end() ? nullptr : it->second;
}

bool MemoryRegistry::GetVersion(DWORD& platformId, DWORD& majorVersion) {
  if (!versionSucceeds_) return false;
  platformId = platformId_;
  majorVersion = majorVersion_;
  return true;
}

LONG MemoryRegistry::OpenKey(HKEY root, const char* path, HKEY& key) {
  if (root != HKEY_LOCAL_MACHINE && root != HKEY_DYN_DATA) return ERROR_INVALID_HANDLE;
  Node* node = Find(root, path != nullptr ? path : "");
  if (node == nullptr) return ERROR_FILE_NOT_FOUND;
  if (node->openStatus != ERROR_SUCCESS) return node->openStatus;
  // Handles well away from the predefined roots' values.
  key = reinterpret_cast<HKEY>(std::uintptr_t{0x10000} + 0x10 * nextHandle_++);
  open_[key] = node;
  openHistory_.push_back(node->path);
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::QueryKeyCounts(HKEY key, DWORD& subKeys, DWORD& values) {
  const Node* node = Handle(key);
  if (node == nullptr) return ERROR_INVALID_HANDLE;
  if (node->queryStatus != ERROR_SUCCESS) return node->queryStatus;
  subKeys = static_cast<DWORD>(node->children.size());
  values = static_cast<DWORD>(node->values.size());
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::EnumKey(HKEY key, DWORD index, char* name, DWORD& nameChars) {
  const Node* node = Handle(key);
  if (node == nullptr) return ERROR_INVALID_HANDLE;
  if (index >= node->children.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& childName = node->children[index]->name;
  if (childName.size() + 1 > nameChars) return ERROR_MORE_DATA;
  std::memcpy(name, childName.c_str(), childName.size() + 1);
  nameChars = static_cast<DWORD>(childName.size());
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::EnumValue(HKEY key, DWORD index, char* name, DWORD& nameChars, BYTE* data,
                               DWORD& dataBytes) {
  const Node* node = Handle(key);
  if (node == nullptr) return ERROR_INVALID_HANDLE;
  if (index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
  const auto& [valueName, valueData] = node->values[index];
  if (valueName.size() + 1 > nameChars || valueData.size() > dataBytes) {
    // Like the registry, report the sizes needed and leave the buffers undefined:
    // scribble over them so that a caller relying on them is caught.
    if (data != nullptr) std::memset(data, 'X', dataBytes);
    dataBytes = static_cast<DWORD>(valueData.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(name, valueName.c_str(), valueName.size() + 1);
  nameChars = static_cast<DWORD>(valueName.size());
  if (data != nullptr) std::memcpy(data, valueData.data(), valueData.size());
  dataBytes = static_cast<DWORD>(valueData.size());
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::CloseKey(HKEY key) {
  if (open_.erase(key) == 0) {
    ++badCloses_;
    return ERROR_INVALID_HANDLE;
  }
  return ERROR_SUCCESS;
}

}  // namespace ports

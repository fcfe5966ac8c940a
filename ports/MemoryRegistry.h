// An in-memory registry for tests and simulators: a tree of keys with named
// values under the predefined roots, enumerated in the order they were added.
// It keeps track of the keys opened so that a test can check that every key
// opened was closed, and it can be told to fail opens and queries.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Ports.h"

namespace ports {

class MemoryRegistry : public RegistryReader {
 public:
  MemoryRegistry();
  ~MemoryRegistry() override;

  // What GetVersion reports; fails when succeeds is false.
  void SetVersion(DWORD platformId, DWORD majorVersion, bool succeeds = true);

  // Creates the key at path (single-backslash separators) and any missing
  // parent. Names compare without regard to letter case, as in the registry.
  void AddKey(HKEY root, const std::string& path);
  // A text value stored with its terminator, as a string value is.
  void SetString(HKEY root, const std::string& path, const std::string& name,
                 const std::string& text);
  // A value with exactly these data bytes.
  void SetData(HKEY root, const std::string& path, const std::string& name,
               const std::string& bytes);
  // Opening the key then fails with status; it is still listed as a sub-key.
  void FailOpen(HKEY root, const std::string& path, LONG status);
  // Querying the key's counts then fails with status.
  void FailQuery(HKEY root, const std::string& path, LONG status);

  // Paths of the keys open now, one entry per open handle.
  std::vector<std::string> OpenKeyPaths() const;
  // Every successful open so far, by path, in order.
  const std::vector<std::string>& OpenHistory() const { return openHistory_; }
  // Closes of handles that were not open.
  std::size_t BadCloses() const { return badCloses_; }

  bool GetVersion(DWORD& platformId, DWORD& majorVersion) override;
  LONG OpenKey(HKEY root, const char* path, HKEY& key) override;
  LONG QueryKeyCounts(HKEY key, DWORD& subKeys, DWORD& values) override;
  LONG EnumKey(HKEY key, DWORD index, char* name, DWORD& nameChars) override;
  LONG EnumValue(HKEY key, DWORD index, char* name, DWORD& nameChars, BYTE* data,
                 DWORD& dataBytes) override;
  LONG CloseKey(HKEY key) override;

 private:
  struct Node;
  Node* Find(HKEY root, const std::string& path) const;
  Node* Create(HKEY root, const std::string& path);
  Node* Handle(HKEY key) const;

  std::unique_ptr<Node> localMachine_;
  std::unique_ptr<Node> dynData_;
  std::map<HKEY, Node*> open_;
  std::vector<std::string> openHistory_;
  std::size_t nextHandle_ = 1;
  std::size_t badCloses_ = 0;
  DWORD platformId_ = VER_PLATFORM_WIN32_NT;
  DWORD majorVersion_ = 5;
  bool versionSucceeds_ = true;
};

}  // namespace ports

// Fuzzes the build's firmware image check (resources/CheckImage.cmake, run
// by CMake exactly as the build runs it) with any file. An image it accepts
// must be one the loader stores soundly: well-formed records with correct
// checksums, data records that stay below 0x10000, the end-of-file record
// last; every line is embedded as it stands; and each line, loaded, writes
// only its own bytes. A sound image must be accepted.
//
// One CMake run per input: tens of inputs a second, not millions.
#include <fcntl.h>
#include <sanitizer/asan_interface.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "HexReference.h"
#include "IntelHex.h"

extern char** environ;

namespace {

using fuzzref::kImageBytes;

std::string g_dir;  // this process's scratch folder

void RemoveScratch() {
  if (g_dir.empty()) return;
  std::remove((g_dir + "/image.hex").c_str());
  std::remove((g_dir + "/image.cpp").c_str());
  std::remove((g_dir + "/image.cpp.tmp").c_str());
  rmdir(g_dir.c_str());
}

std::string Escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n\n";
    } else if (u < 0x20 || u >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string g_file;  // the image of the current input, for the report

[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "image check: %s\nthe image:\n%s\n", what.c_str(), Escaped(g_file).c_str());
  std::abort();
}

// ---- the rule, restated -------------------------------------------------------

bool IsHex(char c) {
  return fuzzref::Nibble(c) >= 0;
}

// Why the image is not sound, or nothing when it is.
std::optional<std::string> Unsound(std::string_view file) {
  // CMake's file(READ) drops one CR at the very end of a file: neither the
  // check nor the build ever sees it, so it damages no record.
  if (!file.empty() && file.back() == '\r') file.remove_suffix(1);
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < file.size()) {
    std::size_t stop = file.find('\n', start);
    const bool last = stop == std::string_view::npos;
    if (last) stop = file.size();
    std::string_view line = file.substr(start, stop - start);
    if (!last && !line.empty() && line.back() == '\r') line.remove_suffix(1);  // CR LF
    lines.push_back(line);
    start = stop + 1;
  }
  if (lines.empty()) return "empty";
  int dataRecords = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view l = lines[i];
    const std::string where = "line " + std::to_string(i + 1) + ": ";
    if (l.size() < 11 || l[0] != ':' || l.size() % 2 == 0) return where + "not a record";
    for (std::size_t k = 1; k < l.size(); ++k) {
      if (!IsHex(l[k])) return where + "not a hex digit";
    }
    const long count = fuzzref::Field(l, 1, 2);
    const long address = fuzzref::Field(l, 3, 4);
    const long type = fuzzref::Field(l, 7, 2);
    if (l.size() != 11 + 2 * static_cast<std::size_t>(count)) return where + "length";
    unsigned sum = 0;
    for (std::size_t k = 1; k < l.size(); k += 2)
      sum += static_cast<unsigned>(fuzzref::Field(l, k, 2));
    if (sum % 256 != 0) return where + "checksum";
    if (type == 0) {
      if (address + count > 0x10000) return where + "runs past 0xFFFF";
      ++dataRecords;
    } else if (type == 1) {
      if (l != ":00000001FF") return where + "end-of-file record not :00000001FF";
      if (i + 1 != lines.size()) return where + "end-of-file record not last";
    } else {
      return where + "record type " + std::to_string(type);
    }
  }
  if (lines.back() != ":00000001FF") return "no end-of-file record at the end";
  if (dataRecords == 0) return "no data record";
  return std::nullopt;
}

// ---- building the image from the input ---------------------------------------------

std::string HexByte(unsigned v) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

// A ':' and pairs of hex digits, at least the five bytes of a record frame.
bool HexPairs(const std::string& l) {
  if (l.size() < 11 || l[0] != ':' || l.size() % 2 == 0) return false;
  for (std::size_t k = 1; k < l.size(); ++k) {
    if (!IsHex(l[k])) return false;
  }
  return true;
}

// The first byte says how to turn the rest into an image, so that the fuzzer
// reaches images that pass the check without having to guess checksums:
// bit 0 mends each record's checksum, bit 1 its byte count, bit 2 ends lines
// with CR LF, bit 3 appends the end-of-file record, bit 4 leaves out the last
// line end. With none of them set the rest is the file as it stands.
std::string BuildImage(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t how = data[0];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((how & 0x1F) == 0) return text;
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = text.find('\n', start);
    if (stop == std::string::npos) stop = text.size();
    lines.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  if (how & 0x08) lines.emplace_back(":00000001FF");
  for (std::string& l : lines) {
    if (!HexPairs(l)) continue;
    const std::size_t bytes = (l.size() - 1) / 2;
    if ((how & 0x02) && bytes - 5 <= 255)
      l.replace(1, 2, HexByte(static_cast<unsigned>(bytes - 5)));
    if (how & 0x01) {
      unsigned sum = 0;
      for (std::size_t k = 1; k + 2 < l.size(); k += 2)
        sum += static_cast<unsigned>(fuzzref::Field(l, k, 2));
      l.replace(l.size() - 2, 2, HexByte(256 - sum % 256));
    }
  }
  std::string file;
  const char* end = (how & 0x04) ? "\r\n" : "\n";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    file += lines[i];
    if (i + 1 < lines.size() || !(how & 0x10)) file += end;
  }
  return file;
}

// ---- running the check ------------------------------------------------------------

const char* CheckScript() {
  const char* script = std::getenv("KSIDU_CHECK_IMAGE_SCRIPT");
  return script != nullptr && *script != '\0' ? script : KSIDU_CHECK_IMAGE_SCRIPT;
}

// CMake's exit status on the image, its output discarded.
int RunCheck(const std::string& image, const std::string& output) {
  const std::string imageArg = "-DIMAGE=" + image;
  const std::string outputArg = "-DOUTPUT=" + output;
  const char* argv[] = {KSIDU_CMAKE_COMMAND, imageArg.c_str(), outputArg.c_str(), "-P",
                        CheckScript(),       nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, KSIDU_CMAKE_COMMAND, &actions, nullptr,
                             const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "image check: cannot run %s: %s\n", KSIDU_CMAKE_COMMAND,
                 std::strerror(rc));
    std::exit(2);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (!WIFEXITED(status)) Fault("CMake did not exit normally");
  return WEXITSTATUS(status);
}

// The lines the generated source embeds, in order.
std::vector<std::string> EmbeddedLines(const std::string& source) {
  std::ifstream in(source, std::ios::binary);
  std::vector<std::string> lines;
  std::string l;
  while (std::getline(in, l)) {
    if (l.size() >= 7 && l.compare(0, 5, "    \"") == 0 && l.compare(l.size() - 2, 2, "\",") == 0) {
      lines.push_back(l.substr(5, l.size() - 7));
    }
  }
  return lines;
}

std::uint8_t* PoisonableImage() {
  static std::uint8_t* image = new std::uint8_t[kImageBytes];
  return image;
}

// Loads the line with only the record's own bytes writable.
void LoadOnly(const std::string& line) {
  const fuzzref::Record r = fuzzref::ReadRecord(line);
  if (!r.address) Fault("the loader cannot read line " + line);
  std::uint8_t* image = PoisonableImage();
  const std::size_t begin = *r.address;
  const std::size_t end = begin + r.data.size();
  const std::size_t count = static_cast<std::size_t>(fuzzref::Field(line, 1, 2));
  if (r.data.size() != count) Fault("the loader would store part of line " + line);
  std::memset(image, 0xFF, kImageBytes);
  ASAN_POISON_MEMORY_REGION(image, begin);
  ASAN_POISON_MEMORY_REGION(image + end, kImageBytes - end);
  upgrade::StoreHexLine(line, std::span<std::uint8_t, kImageBytes>(image, kImageBytes));
  ASAN_UNPOISON_MEMORY_REGION(image, kImageBytes);
  if (!std::equal(r.data.begin(), r.data.end(), image + begin)) {
    Fault("line " + line + " was not stored as it reads");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ksidu-image-check.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("image check: mkdtemp");
    std::exit(2);
  }
  g_dir = pattern;
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  g_file = BuildImage(data, size);
  const std::string image = g_dir + "/image.hex";
  const std::string output = g_dir + "/image.cpp";
  {
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    out.write(g_file.data(), static_cast<std::streamsize>(g_file.size()));
  }
  std::remove(output.c_str());
  const int status = RunCheck(image, output);
  const bool accepted = status == 0;
  const bool written = access(output.c_str(), F_OK) == 0;
  const std::optional<std::string> unsound = Unsound(g_file);

  if (accepted && unsound) Fault("accepted an image the loader cannot store soundly: " + *unsound);
  if (!accepted && written) Fault("refused the image but left a source file behind");
  if (!accepted && !unsound)
    Fault("refused a sound image (CMake exit status " + std::to_string(status) + ")");
  if (!accepted) return 0;
  if (!written) Fault("accepted the image but wrote no source");

  // Everything accepted is embedded as it stands, nothing more.
  std::vector<std::string> lines;
  std::istringstream in(g_file);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  if (EmbeddedLines(output) != lines) Fault("the embedded lines differ from the image's lines");
  for (const std::string& l : lines) LoadOnly(l);
  return 0;
}

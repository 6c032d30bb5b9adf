// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/soundfont_subset.h"

#include <fluidsynth.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

namespace platform {

namespace {

// Record sizes of the SoundFont 2 preset tables.
constexpr size_t kPhdr = 38, kBag = 4, kMod = 10, kGen = 4, kInst = 22, kShdr = 46;
// Generators that point into another table.
constexpr uint16_t kGenInstrument = 41, kGenSampleId = 53;
// Tables bigger than this are not a soundfont's (the largest known are a few MB).
constexpr uint32_t kMaxTables = 64u << 20;

uint16_t get16(const char* p) { return uint16_t(uint8_t(p[0]) | uint8_t(p[1]) << 8); }
uint32_t get32(const char* p) { return uint32_t(get16(p)) | uint32_t(get16(p + 2)) << 16; }
void put16(std::string& out, uint16_t v) {
  out.push_back(char(v & 0xFF));
  out.push_back(char(v >> 8));
}
void put32(std::string& out, uint32_t v) {
  put16(out, uint16_t(v & 0xFFFF));
  put16(out, uint16_t(v >> 16));
}

// The cut-down file: the original's first `prefix` bytes (with the RIFF
// size patched) followed by the new preset tables.
struct VirtualFile {
  std::string path;
  uint64_t prefix = 0;
  std::string tables;   // the new "LIST" ... "pdta" chunk
  uint64_t size() const { return prefix + tables.size(); }
};

std::mutex registryMutex;
std::map<std::string, std::shared_ptr<const VirtualFile>> registry;
// The name already given to a file (path, size, time) and preset list.
std::map<std::string, std::string> names;

std::shared_ptr<const VirtualFile> lookUp(const char* name) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto it = registry.find(name);
  return it == registry.end() ? nullptr : it->second;
}

bool readAt(int fd, uint64_t at, void* out, size_t n) {
  auto* p = static_cast<char*>(out);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, off_t(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    at += uint64_t(got);
    n -= size_t(got);
  }
  return true;
}

// One table of the preset data: its records, the terminal one included.
struct Table {
  const char* data = nullptr;
  size_t records = 0;
  size_t size = 0;   // record size
  const char* at(size_t i) const { return data + i * size; }
};

// Builds the cut-down tables from the original ones.
class Cutter {
public:
  Table phdr{nullptr, 0, kPhdr}, pbag{nullptr, 0, kBag}, pmod{nullptr, 0, kMod}, pgen{nullptr, 0, kGen},
      inst{nullptr, 0, kInst}, ibag{nullptr, 0, kBag}, imod{nullptr, 0, kMod}, igen{nullptr, 0, kGen},
      shdr{nullptr, 0, kShdr};

  // Each table has at least its terminal record.
  bool complete() const {
    for (const Table* t : {&phdr, &pbag, &pmod, &pgen, &inst, &ibag, &imod, &igen, &shdr})
      if (!t->data || t->records == 0) return false;
    return true;
  }

  // Index of preset (bank, preset), or -1.
  long findPreset(int bank, int preset) const {
    for (size_t i = 0; i + 1 < phdr.records; ++i)
      if (get16(phdr.at(i) + 20) == preset && get16(phdr.at(i) + 22) == bank) return long(i);
    return -1;
  }

  // Adds preset `p` with its zones; false when the tables do not hold together.
  bool addPreset(size_t p) {
    const char* rec = phdr.at(p);
    const uint16_t first = get16(rec + 24), end = get16(phdr.at(p + 1) + 24);
    if (first > end || end >= pbag.records) return false;
    newPhdr_.append(rec, 24);
    put16(newPhdr_, uint16_t(newPbag_.size() / kBag));
    newPhdr_.append(rec + 26, kPhdr - 26);
    return copyZones(pbag, pmod, pgen, first, end, newPbag_, newPmod_, newPgen_, kGenInstrument, instruments_,
                     inst.records - 1);
  }

  // The instruments the presets use, then the samples those use.
  bool addInstruments() {
    for (size_t k = 0; k < instruments_.order.size(); ++k) {
      const size_t i = instruments_.order[k];
      const char* rec = inst.at(i);
      const uint16_t first = get16(rec + 20), end = get16(inst.at(i + 1) + 20);
      if (first > end || end >= ibag.records) return false;
      newInst_.append(rec, 20);
      put16(newInst_, uint16_t(newIbag_.size() / kBag));
      if (!copyZones(ibag, imod, igen, first, end, newIbag_, newImod_, newIgen_, kGenSampleId, samples_,
                     shdr.records - 1))
        return false;
    }
    for (size_t s : samples_.order) {
      std::string rec(shdr.at(s), kShdr);
      // A stereo partner left out is no partner (FluidSynth does not follow links).
      const auto link = samples_.index.find(get16(rec.data() + 42));
      const uint16_t to = link == samples_.index.end() ? 0 : link->second;
      rec[42] = char(to & 0xFF);
      rec[43] = char(to >> 8);
      newShdr_ += rec;
    }
    return true;
  }

  // The "pdta" list of the cut-down file, terminal records included.
  std::string tables() {
    terminal(newPhdr_, kPhdr, "EOP", 24, uint16_t(newPbag_.size() / kBag));
    terminalBag(newPbag_, newPgen_, newPmod_);
    newPmod_.append(kMod, '\0');
    newPgen_.append(kGen, '\0');
    terminal(newInst_, kInst, "EOI", 20, uint16_t(newIbag_.size() / kBag));
    terminalBag(newIbag_, newIgen_, newImod_);
    newImod_.append(kMod, '\0');
    newIgen_.append(kGen, '\0');
    terminal(newShdr_, kShdr, "EOS", 0, 0);
    std::string body = "pdta";
    const std::pair<const char*, const std::string*> chunks[] = {
        {"phdr", &newPhdr_}, {"pbag", &newPbag_}, {"pmod", &newPmod_}, {"pgen", &newPgen_},
        {"inst", &newInst_}, {"ibag", &newIbag_}, {"imod", &newImod_}, {"igen", &newIgen_},
        {"shdr", &newShdr_}};
    for (const auto& [id, data] : chunks) {
      body.append(id, 4);
      put32(body, uint32_t(data->size()));
      body += *data;
    }
    std::string list = "LIST";
    put32(list, uint32_t(body.size()));
    return list + body;
  }

private:
  // Old index to new, in the order first used.
  struct Renumbering {
    std::map<uint16_t, uint16_t> index;
    std::vector<size_t> order;
    uint16_t of(uint16_t old) {
      auto [it, added] = index.emplace(old, uint16_t(order.size()));
      if (added) order.push_back(old);
      return it->second;
    }
  };

  // Zones [first, end) of one preset or instrument with their modulators
  // and generators; the generator `link` (instrument, or sample) is
  // renumbered through `linked`, whose table has `linkCount` records.
  static bool copyZones(const Table& bags, const Table& mods, const Table& gens, uint16_t first, uint16_t end,
                        std::string& newBags, std::string& newMods, std::string& newGens, uint16_t link,
                        Renumbering& linked, size_t linkCount) {
    for (size_t b = first; b < end; ++b) {
      const uint16_t g0 = get16(bags.at(b)), g1 = get16(bags.at(b + 1));
      const uint16_t m0 = get16(bags.at(b) + 2), m1 = get16(bags.at(b + 1) + 2);
      if (g0 > g1 || g1 >= gens.records || m0 > m1 || m1 >= mods.records) return false;
      put16(newBags, uint16_t(newGens.size() / kGen));
      put16(newBags, uint16_t(newMods.size() / kMod));
      newMods.append(mods.at(m0), size_t(m1 - m0) * kMod);
      for (size_t g = g0; g < g1; ++g) {
        const char* rec = gens.at(g);
        put16(newGens, get16(rec));
        if (get16(rec) == link) {
          if (get16(rec + 2) >= linkCount) return false;
          put16(newGens, linked.of(get16(rec + 2)));
        } else {
          newGens.append(rec + 2, 2);
        }
      }
    }
    return true;
  }
  static void terminal(std::string& table, size_t size, const char* name, size_t indexAt, uint16_t index) {
    std::string rec(size, '\0');
    std::memcpy(rec.data(), name, std::strlen(name));
    if (indexAt) {
      rec[indexAt] = char(index & 0xFF);
      rec[indexAt + 1] = char(index >> 8);
    }
    table += rec;
  }
  static void terminalBag(std::string& bags, const std::string& gens, const std::string& mods) {
    put16(bags, uint16_t(gens.size() / kGen));
    put16(bags, uint16_t(mods.size() / kMod));
  }

  Renumbering instruments_, samples_;
  std::string newPhdr_, newPbag_, newPmod_, newPgen_, newInst_, newIbag_, newImod_, newIgen_, newShdr_;
};

// ---- FluidSynth's file calls, over a cut-down file or a plain one ----

struct Handle {
  int fd = -1;
  std::shared_ptr<const VirtualFile> file;   // null: the plain file
  uint64_t size = 0;
  uint64_t pos = 0;
};

void* openFile(const char* name) {
  auto file = lookUp(name);
  const char* path = file ? file->path.c_str() : name;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return nullptr;
  }
  auto* h = new Handle;
  h->fd = fd;
  h->size = file ? file->size() : uint64_t(st.st_size);
  h->file = std::move(file);
  return h;
}

int readFile(void* out, fluid_long_long_t count, void* handle) {
  auto* h = static_cast<Handle*>(handle);
  if (count < 0 || h->pos + uint64_t(count) > h->size) return FLUID_FAILED;
  auto* p = static_cast<char*>(out);
  uint64_t n = uint64_t(count);
  const uint64_t prefix = h->file ? h->file->prefix : h->size;
  if (h->pos < prefix) {
    const uint64_t from = std::min(n, prefix - h->pos);
    if (!readAt(h->fd, h->pos, p, size_t(from))) return FLUID_FAILED;
    if (h->file) {
      // The RIFF chunk's size, bytes 4-7, is the cut-down file's.
      const uint32_t riff = uint32_t(h->size - 8);
      for (uint64_t k = 4; k < 8; ++k)
        if (k >= h->pos && k < h->pos + from) p[k - h->pos] = char((riff >> (8 * (k - 4))) & 0xFF);
    }
    h->pos += from;
    p += from;
    n -= from;
  }
  if (n > 0) {
    std::memcpy(p, h->file->tables.data() + (h->pos - prefix), size_t(n));
    h->pos += n;
  }
  return FLUID_OK;
}

int seekFile(void* handle, fluid_long_long_t offset, int origin) {
  auto* h = static_cast<Handle*>(handle);
  const int64_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? int64_t(h->pos) : int64_t(h->size);
  if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) return FLUID_FAILED;
  const int64_t to = base + int64_t(offset);
  if (to < 0 || uint64_t(to) > h->size) return FLUID_FAILED;
  h->pos = uint64_t(to);
  return FLUID_OK;
}

fluid_long_long_t tellFile(void* handle) { return fluid_long_long_t(static_cast<Handle*>(handle)->pos); }

int closeFile(void* handle) {
  auto* h = static_cast<Handle*>(handle);
  ::close(h->fd);
  delete h;
  return FLUID_OK;
}

}  // namespace

SoundfontSubset makeSubset(const std::string& path, const std::vector<SoundfontPreset>& presets) {
  SoundfontSubset result;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    result.error = std::string(std::strerror(errno)) + ": " + path;
    return result;
  }
  std::string key = path + "|" + std::to_string(st.st_size) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec);
  for (const SoundfontPreset& p : presets)
    key += "|" + std::to_string(p.bank) + ":" + std::to_string(p.preset);
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    if (auto it = names.find(key); it != names.end()) {
      result.name = it->second;
      return result;
    }
  }
  auto fail = [&](const std::string& why) {
    result.error = why + ": " + path;
    return result;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(std::string(std::strerror(errno)));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0) return fail("cannot be read");
  const uint64_t fileSize = uint64_t(st.st_size);

  char head[12];
  if (!readAt(fd, 0, head, 12) || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "sfbk", 4) != 0)
    return fail("not a soundfont");
  // The top-level lists: INFO, sdta, then pdta, the preset tables.
  uint64_t at = 12, pdtaAt = 0;
  uint32_t pdtaSize = 0;
  while (at + 12 <= fileSize) {
    char chunk[12];
    if (!readAt(fd, at, chunk, 12)) return fail("cannot be read");
    const uint32_t size = get32(chunk + 4);
    if (std::memcmp(chunk, "LIST", 4) == 0 && std::memcmp(chunk + 8, "pdta", 4) == 0) {
      pdtaAt = at;
      pdtaSize = size;
      break;
    }
    at += 8 + uint64_t(size) + (size & 1);
  }
  if (pdtaAt == 0 || pdtaSize < 4 || pdtaSize > kMaxTables || pdtaAt + 8 + pdtaSize > fileSize)
    return fail("no preset tables found");
  std::string pdta(pdtaSize - 4, '\0');
  if (!readAt(fd, pdtaAt + 12, pdta.data(), pdta.size())) return fail("cannot be read");

  Cutter cut;
  for (size_t p = 0; p + 8 <= pdta.size();) {
    const char* id = pdta.data() + p;
    const uint32_t size = get32(id + 4);
    if (size > pdta.size() - p - 8) return fail("damaged preset tables");
    const char* data = id + 8;
    for (auto [name, table] : {std::pair{"phdr", &cut.phdr}, {"pbag", &cut.pbag}, {"pmod", &cut.pmod},
                               {"pgen", &cut.pgen}, {"inst", &cut.inst}, {"ibag", &cut.ibag},
                               {"imod", &cut.imod}, {"igen", &cut.igen}, {"shdr", &cut.shdr}}) {
      if (std::memcmp(id, name, 4) != 0) continue;
      if (size % table->size != 0) return fail("damaged preset tables");
      table->data = data;
      table->records = size / table->size;
    }
    p += 8 + size + (size & 1);
  }
  if (!cut.complete()) return fail("damaged preset tables");

  for (const SoundfontPreset& want : presets) {
    const long p = cut.findPreset(want.bank, want.preset);
    if (p < 0) {
      result.lacksPreset = true;
      return fail("no preset " + std::to_string(want.bank) + ":" + std::to_string(want.preset));
    }
    if (!cut.addPreset(size_t(p))) return fail("damaged preset tables");
  }
  if (!cut.addInstruments()) return fail("damaged preset tables");

  auto file = std::make_shared<VirtualFile>();
  file->path = path;
  file->prefix = pdtaAt;
  file->tables = cut.tables();
  std::lock_guard<std::mutex> lock(registryMutex);
  auto [it, added] = names.emplace(key, path + "#subset-" + std::to_string(names.size() + 1));
  if (added) registry.emplace(it->second, std::move(file));
  result.name = it->second;
  return result;
}

fluid_sfloader_t* subsetLoader(fluid_settings_t* settings) {
  fluid_sfloader_t* loader = new_fluid_defsfloader(settings);
  if (!loader) return nullptr;
  if (fluid_sfloader_set_callbacks(loader, openFile, readFile, seekFile, tellFile, closeFile) != FLUID_OK) {
    delete_fluid_sfloader(loader);
    return nullptr;
  }
  return loader;
}

}  // namespace platform

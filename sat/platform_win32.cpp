#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform.h"

// The C runtime's list of thread-local slot destructors: it calls each one
// with the slot's value of a thread that ends while the library is loaded
// (from its thread-detach callback), and of the unloading thread at unload.
extern "C" int ___w64_mingwthr_add_key_dtor(DWORD key, void (*dtor)(void *));
extern "C" int ___w64_mingwthr_remove_key_dtor(DWORD key);

namespace torvex::sat {

void *LoadZlibModule() { return reinterpret_cast<void *>(LoadLibraryA("zlib.DLL")); }

void FreeZlibModule(void *module) {
  if (module) FreeLibrary(static_cast<HMODULE>(module));
}

void *FindModuleSymbol(void *module, const char *name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool LocalTime(std::time_t t, std::tm *out) { return localtime_s(out, &t) == 0; }

namespace {

// The texts handed to the program's threads: one block per thread, found
// through a thread-local slot of the system's, and linked into a list of
// all blocks so that those of threads still running are freed at unload.
class ThreadTexts {
 public:
  ThreadTexts() {
    InitializeCriticalSection(&lock_);
    slot_ = TlsAlloc();
    if (slot_ != TLS_OUT_OF_INDEXES) ___w64_mingwthr_add_key_dtor(slot_, &ThreadEnded);
  }

  ~ThreadTexts() {
    if (slot_ != TLS_OUT_OF_INDEXES) {
      ___w64_mingwthr_remove_key_dtor(slot_);
      while (first_ != nullptr) Unlink(first_);
      TlsFree(slot_);
    }
    DeleteCriticalSection(&lock_);
  }

  const char *Keep(const char *text) {
    if (slot_ == TLS_OUT_OF_INDEXES) return nullptr;
    std::size_t length = std::strlen(text);
    auto *block = static_cast<Block *>(TlsGetValue(slot_));
    if (block == nullptr || block->capacity < length + 1) {
      std::size_t capacity = length + 1 < 256 ? 256 : length + 1;
      auto *grown = static_cast<Block *>(std::malloc(offsetof(Block, text) + capacity));
      if (grown == nullptr) return nullptr;
      grown->capacity = capacity;
      std::memcpy(grown->text, text, length + 1);  // text may lie in the old block
      Link(grown);
      TlsSetValue(slot_, grown);
      if (block != nullptr) Unlink(block);
      return grown->text;
    }
    std::memmove(block->text, text, length + 1);
    return block->text;
  }

 private:
  struct Block {
    Block *prev;
    Block *next;
    std::size_t capacity;
    char text[1];
  };

  static void ThreadEnded(void *block);

  void Link(Block *block) {
    EnterCriticalSection(&lock_);
    block->prev = nullptr;
    block->next = first_;
    if (first_ != nullptr) first_->prev = block;
    first_ = block;
    LeaveCriticalSection(&lock_);
  }

  void Unlink(Block *block) {
    EnterCriticalSection(&lock_);
    if (block->prev != nullptr) block->prev->next = block->next;
    if (block->next != nullptr) block->next->prev = block->prev;
    if (first_ == block) first_ = block->next;
    LeaveCriticalSection(&lock_);
    std::free(block);
  }

  CRITICAL_SECTION lock_;
  DWORD slot_ = TLS_OUT_OF_INDEXES;
  Block *first_ = nullptr;
};

ThreadTexts g_threadTexts;

void ThreadTexts::ThreadEnded(void *block) { g_threadTexts.Unlink(static_cast<Block *>(block)); }

}  // namespace

const char *KeepForThisThread(const char *text) { return g_threadTexts.Keep(text ? text : ""); }

const char kNotReadyText[] = "Porta serial n\xe3o est\xe1 pronta, tente novamente";
const char kNotReadyTextBang[] = "Porta serial n\xe3o est\xe1 pronta, tente novamente!";
const char kTextEncoding[] = "latin1";

bool FileBesideLibrary(const char *name, char *out, std::size_t cap) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&FileBesideLibrary), &self))
    return false;
  char path[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  path[n] = '\0';
  char *slash = std::strrchr(path, '\\');
  std::size_t folder = slash ? static_cast<std::size_t>(slash - path + 1) : 0;
  std::size_t length = std::strlen(name);
  if (folder + length + 1 > cap) return false;
  std::memcpy(out, path, folder);
  std::memcpy(out + folder, name, length + 1);
  return true;
}

}  // namespace torvex::sat

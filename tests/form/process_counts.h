// What the test's own process holds: kernel handles, threads, heap and
// private memory, thread-local slots and windows (top-level and
// message-only), for tests that check that loading and unloading the
// library leaves nothing behind. Measured with what works both on Windows
// and under Wine.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

struct ProcessCounts {
  std::size_t handles = 0;
  int threads = 0;
  std::size_t heapBytes = 0;     // in use in all heaps of the process
  std::size_t privateBytes = 0;  // committed private memory
  int freeTlsSlots = 0;          // thread-local slots TlsAlloc can still give
  int windows = 0;

  std::string Show() const {
    return "handles " + std::to_string(handles) + ", threads " + std::to_string(threads) +
           ", heap bytes " + std::to_string(heapBytes) + ", private bytes " +
           std::to_string(privateBytes) + ", free TLS slots " + std::to_string(freeTlsSlots) +
           ", windows " + std::to_string(windows);
  }
};

namespace process_counts_detail {
inline BOOL CALLBACK CountOwn(HWND window, LPARAM count) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId()) ++*reinterpret_cast<int *>(count);
  return TRUE;
}
}  // namespace process_counts_detail

// The windows of this process: top-level ones and message-only ones.
inline int CountOwnWindows() {
  int count = 0;
  EnumWindows(&process_counts_detail::CountOwn, reinterpret_cast<LPARAM>(&count));
  for (HWND w = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); w;
       w = FindWindowExA(HWND_MESSAGE, w, nullptr, nullptr))
    process_counts_detail::CountOwn(w, reinterpret_cast<LPARAM>(&count));
  return count;
}

inline int CountOwnThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

// Each thread of this process with the module its start address lies in:
// for messages when a thread appears that should not.
inline std::string DescribeOwnThreads() {
  using QueryThread = LONG(WINAPI *)(HANDLE, ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QueryThread>(reinterpret_cast<void *>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
  std::string text;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return text;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    void *start = nullptr;
    char module[MAX_PATH] = "?";
    if (HANDLE t = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID)) {
      const ULONG startAddress = 9;  // ThreadQuerySetWin32StartAddress
      if (query) query(t, startAddress, &start, sizeof start, nullptr);
      CloseHandle(t);
    }
    HMODULE m = nullptr;
    if (start && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    static_cast<LPCSTR>(start), &m))
      GetModuleFileNameA(m, module, sizeof module);
    char address[32];
    std::snprintf(address, sizeof address, "%p", start);
    text += "thread " + std::to_string(entry.th32ThreadID) + " from " + address + " in " + module +
            "\n";
  }
  CloseHandle(snapshot);
  return text;
}

// The handles of this process. Wine's GetProcessHandleCount gives 0, so the
// system's handle list is counted there.
inline std::size_t CountOwnHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  using QuerySystem = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QuerySystem>(reinterpret_cast<void *>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  const ULONG systemHandleInformation = 16;
  std::vector<unsigned char> buffer(1 << 20);
  ULONG needed = 0;
  LONG status;
  while ((status = query(systemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                         &needed)) ==
             static_cast<LONG>(0xC0000004) &&  // STATUS_INFO_LENGTH_MISMATCH
         buffer.size() < (std::size_t{256} << 20))
    buffer.resize(buffer.size() * 2);
  if (status != 0) return 0;
  // ULONG count, then entries aligned to a pointer: owner (32 bits), type,
  // flags, handle value, object pointer, access.
  struct Entry {
    ULONG owner;
    UCHAR type, flags;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  ULONG n = 0;
  std::memcpy(&n, buffer.data(), sizeof n);
  const std::size_t first = sizeof(ULONG_PTR);
  std::size_t own = 0;
  for (ULONG i = 0; i < n && first + (i + 1) * sizeof(Entry) <= buffer.size(); ++i) {
    Entry e;
    std::memcpy(&e, buffer.data() + first + i * sizeof(Entry), sizeof e);
    if (e.owner == GetCurrentProcessId()) ++own;
  }
  return own;
}

inline std::size_t HeapBytesInUse() {
  HANDLE heaps[256];
  DWORD n = GetProcessHeaps(256, heaps);
  std::size_t sum = 0;
  for (DWORD i = 0; i < n && i < 256; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) sum += entry.cbData;
    HeapUnlock(heaps[i]);
  }
  return sum;
}

inline std::size_t CommittedPrivateBytes() {
  std::size_t sum = 0;
  MEMORY_BASIC_INFORMATION m{};
  for (const char *p = nullptr; VirtualQuery(p, &m, sizeof m) == sizeof m;) {
    if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) sum += m.RegionSize;
    const char *next = static_cast<const char *>(m.BaseAddress) + m.RegionSize;
    if (next <= p) break;
    p = next;
  }
  return sum;
}

inline int FreeTlsSlots() {
  std::vector<DWORD> taken;
  for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES && taken.size() < 100000;)
    taken.push_back(slot);
  for (DWORD slot : taken) TlsFree(slot);
  return static_cast<int>(taken.size());
}

inline ProcessCounts CountProcess() {
  ProcessCounts c;
  c.handles = CountOwnHandles();
  c.threads = CountOwnThreads();
  c.heapBytes = HeapBytesInUse();
  c.privateBytes = CommittedPrivateBytes();
  c.freeTlsSlots = FreeTlsSlots();
  c.windows = CountOwnWindows();
  return c;
}

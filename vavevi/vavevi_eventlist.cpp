// Vavevi: the event list, the byte sequences watched in received data.
#include <cstring>

#include "rtexcept.h"
#include "vavevi_eventlist.h"

namespace {

// A record that owns a copy of the given bytes.
TCommEvent *NewEvent(const std::uint8_t *bytes, std::uint32_t length) {
  auto *event = new TCommEvent{0, length, nullptr, 0};
  if (length > 0) {
    event->Bytes = new std::uint8_t[length];
    std::memcpy(event->Bytes, bytes, length);
  }
  return event;
}

void FreeEvent(TCommEvent *event) {
  delete[] event->Bytes;
  delete event;
}

}  // namespace

TEventList::~TEventList() { TEventList::Clear(); }

void TEventList::Notify(void *item, TListNotification action) {
  if (action == TListNotification::lnDeleted) FreeEvent(static_cast<TCommEvent *>(item));
}

void TEventList::Lengthened(std::uint32_t length) {
  // Only the length is noted: the buffer belongs to the thread that hands
  // blocks on (WinProc), which may be reading it now. SetBufferByEvent grows
  // it there before a longer sequence is copied in; the next open makes it
  // large enough at once.
  if (length > longest_) longest_ = length;
}

int TEventList::Add(const TCommEvent &event) {
  const std::uint8_t *bytes = event.Length > 0 ? event.Bytes : nullptr;
  if (event.Length > 0 && !bytes) throw Exception("Event without its bytes");
  TCommEvent *copy = NewEvent(bytes, event.Length);
  copy->State = event.State < event.Length ? event.State : 0;
  copy->Position = event.Position;
  int index = TList::Add(copy);
  Lengthened(event.Length);
  return index;
}

int TEventList::AddNewEvent(const std::string &sequence) {
  TCommEvent event{0, static_cast<std::uint32_t>(sequence.size()),
                   reinterpret_cast<std::uint8_t *>(const_cast<char *>(sequence.data())), 0};
  return Add(event);
}

void TEventList::Delete(int index) { TList::Delete(index); }

void TEventList::Clear() { TList::Clear(); }

TCommEvent &TEventList::GetEvent(int index) { return *static_cast<TCommEvent *>(Get(index)); }

void TEventList::SetEvent(int index, const TCommEvent &event) {
  if (event.Length > 0 && !event.Bytes) throw Exception("Event without its bytes");
  TCommEvent *old = static_cast<TCommEvent *>(Get(index));
  TCommEvent *copy = NewEvent(event.Bytes, event.Length);
  copy->State = event.State < event.Length ? event.State : 0;
  copy->Position = event.Position;
  Put(index, copy);
  FreeEvent(old);
  Lengthened(event.Length);
}

std::string TEventList::GetEventString(int index) const {
  const auto *event = static_cast<const TCommEvent *>(Get(index));
  return event->Length ? std::string(reinterpret_cast<const char *>(event->Bytes), event->Length)
                       : std::string();
}

void TEventList::SetEventString(int index, const std::string &sequence) {
  TCommEvent &event = GetEvent(index);
  auto length = static_cast<std::uint32_t>(sequence.size());
  std::uint8_t *bytes = nullptr;
  if (length > 0) {
    bytes = new std::uint8_t[length];
    std::memcpy(bytes, sequence.data(), length);
  }
  delete[] event.Bytes;
  event.Bytes = bytes;
  event.Length = length;
  event.State = 0;  // a count of the old sequence means nothing for the new one
  Lengthened(length);
}

void TEventList::Grow(std::uint32_t need) {
  if (need <= bufferSize_) return;
  auto block = std::make_unique<std::uint8_t[]>(need);  // zero-filled
  buffer_ = std::move(block);
  bufferSize_ = need;
}

void TEventList::PrepareBuffer(std::uint32_t receiveSize) {
  receiveSize_ = receiveSize;
  prepared_ = true;
  Grow(longest_ + receiveSize + 4);
}

std::uint32_t TEventList::SetBufferByEvent(int index, const std::uint8_t *data,
                                           std::uint32_t count) {
  const TCommEvent &event = GetEvent(index);
  Grow(event.Length + count + 4);
  if (event.Length) std::memcpy(buffer_.get(), event.Bytes, event.Length);
  if (count) std::memcpy(buffer_.get() + event.Length, data, count);
  buffer_[event.Length + count] = 0;
  return event.Length + count;
}

int TEventList::IsEvent(std::uint8_t byte) {
  for (int i = 0; i < Count(); ++i) {
    TCommEvent &event = GetEvent(i);
    if (event.Length == 0) continue;  // an empty sequence never matches
    if (event.State >= event.Length) event.State = 0;
    if (byte == event.Bytes[event.State])
      ++event.State;
    else
      event.State = byte == event.Bytes[0] ? 1 : 0;
    if (event.State >= event.Length) {
      event.Position = static_cast<std::int32_t>(event.State);
      event.State = 0;
      return i;
    }
  }
  return -1;
}

void TEventList::ResetStates() {
  for (int i = 0; i < Count(); ++i) GetEvent(i).State = 0;
}

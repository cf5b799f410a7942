// Vavevi: the event list of the serial component (vavevi_eventlist.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nrclasses.h"
#include "vavevi_types.h"

// The watched byte sequences of a component. The list owns each record and
// its bytes, and a buffer handed to OnListEvent that holds a sequence, the
// rest of a received block and a terminating zero.
class VAVEVI_API TEventList : public TList {
 public:
  TEventList() = default;
  ~TEventList() override;

  // Stores a copy of the record and of its bytes. The index.
  int Add(const TCommEvent &event);
  int AddNewEvent(const std::string &sequence);
  void Delete(int index);
  void Clear() override;  // the longest length stays
  TCommEvent &GetEvent(int index);
  // Replaces the record at the index with a copy of the given one (and of
  // its bytes).
  void SetEvent(int index, const TCommEvent &event);
  std::string GetEventString(int index) const;
  // New bytes for a sequence; its match starts again.
  void SetEventString(int index, const std::string &sequence);
  // Makes the buffer hold the longest sequence, receiveSize bytes and a
  // terminating zero; a larger buffer is kept.
  void PrepareBuffer(std::uint32_t receiveSize);
  // Fills the buffer with the sequence at the index followed by count bytes
  // of data and a zero; gives the sequence length + count.
  std::uint32_t SetBufferByEvent(int index, const std::uint8_t *data, std::uint32_t count);
  // Feeds one received byte to the sequences in list order: the index of the
  // first one it completes (the later ones do not see the byte), or -1.
  int IsEvent(std::uint8_t byte);
  void ResetStates();

  const std::uint8_t *Buffer() const { return buffer_.get(); }
  std::uint32_t BufferSize() const { return bufferSize_; }
  std::uint32_t LongestLength() const { return longest_; }

 protected:
  void Notify(void *item, TListNotification action) override;

 private:
  void Grow(std::uint32_t need);
  void Lengthened(std::uint32_t length);

  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint32_t bufferSize_ = 0;
  std::uint32_t longest_ = 0;
  std::uint32_t receiveSize_ = 0;
  bool prepared_ = false;
};

#include "satstate.h"

#include "text.h"

namespace torvex::sat {

StatusRecordType StatusRecord;
ReplySignal ReplyArrived{StatusRecord.StatusCode};

char CommandText[kBufSize + 1];
char ReplyText[kBufSize + 1];
char ResultText[kBufSize + 1];
char MessageField[kBufSize + 1];
char LastTxText[kBufSize + 1];
char LastRxText[kBufSize + 1];
std::size_t ReplyLength = 0;

char PortName[kPortNameSize];
char LogPath[kLogPathSize];
bool LogEnabled = false;
bool PortFound = false;

SessionRingType SessionRing;

void SetStatus(std::int32_t code, const char *message) {
  CopyText(StatusRecord.StatusMessage, sizeof StatusRecord.StatusMessage, message);
  StatusRecord.StatusCode.store(code, std::memory_order_release);
}

}  // namespace torvex::sat

// The line settings of the far end of a test cable (the test's peer or the
// benchmark's writer): 115200 8N1, binary, no handshake, DTR and RTS off,
// and reads that wait for the bytes asked for.
#pragma once
#include <windows.h>

inline void SetPlainLine(HANDLE h) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(h, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  SetCommState(h, &dcb);
  COMMTIMEOUTS t{};
  SetCommTimeouts(h, &t);
}

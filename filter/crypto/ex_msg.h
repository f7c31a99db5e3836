// Result codes of the filter's cipher (positive for success, negative for
// a failure).
#pragma once

enum EXMsg : int {
  EXMsg_Ok = 1,
  EXMsg_WrongArg = -2,
  EXMsg_MemoryException = -3,
};

// Result codes of the filter's cipher and coding helpers (positive or
// zero for success, negative for a failure).
#pragma once

enum EXMsg : int {
  EXMsg_RecognizeFailed = 3,
  EXMsg_NoData = 2,
  EXMsg_Ok = 1,
  EXMsg_Cancel = -1,
  EXMsg_WrongArg = -2,
  EXMsg_MemoryException = -3,
  EXMsg_NotSupport = -4,
  EXMsg_Reduplication = -5,
  EXMsg_WrongCallingSequence = -6,
  EXMsg_Error = -7,
  EXMsg_FileError = -8,
  EXMsg_WrongFileData = -9,
  EXMsg_Exception = -10,
  EXMsg_OCRTimeOut = -100,
};

#include <windows.h>

#include "platform/datetime.h"

namespace fw {

TDateTime LocalNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  TDateTime d = 0, t = 0;
  TryEncodeDate(st.wYear, st.wMonth, st.wDay, d);
  TryEncodeTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, t);
  return d + t;
}

}  // namespace fw

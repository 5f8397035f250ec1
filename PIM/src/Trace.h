// Trace points of the component's classes. Each source file defines, before including this:
//     static const char kTraceFile[] = "PIM/src/CCalendarDatabase";
//     static const char kTraceClass[] = "CCalendarDatabase";
// Nothing is built unless the runtime library's mask has bit 0x1000 set.
#pragma once
#include <QLT.h>

#define PIM_TRACE_MASK_COMPONENT 0x1000u

inline bool PimTraceOn() {
  QLT_CError* h = QLT_CError::m_pcErrorHandlerGlb;
  return h != nullptr && (h->getCumulativeTraceMask() & PIM_TRACE_MASK_COMPONENT) != 0;
}

// PIM_TRACE("Logon", QLT_CString("ABORTING, bad HR: ") + (LONG)hr);
#define PIM_TRACE(function, message)                                                             \
  do {                                                                                           \
    if (PimTraceOn())                                                                            \
      QLT_CError::m_pcErrorHandlerGlb->trace(PIM_TRACE_MASK_COMPONENT, (QLT_ETraceDirection)2,   \
                                             kTraceFile, __LINE__, kTraceClass, (function),      \
                                             QLT_CString(message));                              \
  } while (0)

// A pointer's value for a trace text (its full width where pointers are wider than 32 bits).
inline unsigned long TracePtr(const void* p) { return (unsigned long)(ULONG_PTR)p; }

// A BSTR for a trace text; null gives the empty text.
inline QLT_CString TraceText(const OLECHAR* s) { return QLT_CString((const unsigned short*)s); }

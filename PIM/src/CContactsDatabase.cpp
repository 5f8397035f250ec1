#include "CContactsDatabase.h"

#include <ComPtr.h>

#include "Trace.h"

static const char kTraceFile[] = "PIM/src/CContactsDatabase";
static const char kTraceClass[] = "CContactsDatabase";

// ---- construction, destruction and the thread-bound pointer ---------------------------------

CContactsDatabase::CContactsDatabase()
    : m_pUnkMarshaler(nullptr), m_pContactsFolderStream(nullptr), m_ptrsThreadId(0), m_pContactsFolderFromStream(nullptr) {}

CContactsDatabase::~CContactsDatabase() {}

bool CContactsDatabase::CheckAndUpdatePtrsFromStreams() { return false; }

MAPIFolder* CContactsDatabase::get_pContactsFolder() { return nullptr; }

// ---- the searches ----------------------------------------------------------------------------

STDMETHODIMP CContactsDatabase::GetContactByName(BSTR, BSTR, IContactEntry**, EContactsDatabaseResult*) { return E_NOTIMPL; }
STDMETHODIMP CContactsDatabase::GetContactByMagicBytes(ULONG, IContactEntry**, EContactsDatabaseResult*) { return E_NOTIMPL; }

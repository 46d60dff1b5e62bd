#pragma once

// The module's four entry points, exported with C linkage under their
// platform names. A host that loads the module by path looks them up by
// these names; one that links the module may call them directly.
#include "ComBase.h"
#include "ZanExport.h"

extern "C" {

// S_OK when no object of the module is alive and no server lock is held
// (the module may be unloaded), else S_FALSE.
ZAN_EXPORT zan::HRESULT DllCanUnloadNow();
// The class factory of `clsid` answering `iid` in *out;
// CLASS_E_CLASSNOTAVAILABLE for a class the module does not make.
ZAN_EXPORT zan::HRESULT DllGetClassObject(const zan::IID& clsid, const zan::IID& iid, void** out);
// Writes the module's entries into the registry; the first failure or S_OK.
ZAN_EXPORT zan::HRESULT DllRegisterServer();
// Removes what DllRegisterServer wrote, in reverse order.
ZAN_EXPORT zan::HRESULT DllUnregisterServer();

using ZanDllCanUnloadNow = zan::HRESULT (*)();
using ZanDllGetClassObject = zan::HRESULT (*)(const zan::IID&, const zan::IID&, void**);
using ZanDllRegisterServer = zan::HRESULT (*)();
}

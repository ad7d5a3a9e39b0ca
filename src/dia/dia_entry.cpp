// The three C entry points of the plug-in; nothing else leaves the shared library.
#include "dia/dia_data_source.h"
#include "dia/wide_text.h"

#define DIA_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

DIA_PLUGIN_EXPORT dia::HRESULT DllGetClassObject(dia::REFCLSID clsid, dia::REFIID iid, void** object) {
  return dia::plugin::getClassObject(clsid, iid, object);
}

DIA_PLUGIN_EXPORT dia::BSTR diaAllocString(const wchar_t* text) { return dia::plugin::allocString(text); }

DIA_PLUGIN_EXPORT void diaFreeString(dia::BSTR text) { dia::plugin::freeString(text); }

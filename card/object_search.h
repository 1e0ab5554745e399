#pragma once
// Object searches and attribute reads over the bound PKCS#11 module, shared by the
// card component, the token explorer and the card side of signing.
//
// A module allows one search per session at a time: a session left searching
// refuses the next C_FindObjectsInit. So TObjectSearch ends every search it began,
// on every road out, and never ends one twice.
#include <cstdint>
#include <functional>
#include <vector>

#include "interfaces/pkcs11.h"

class TObjectSearch {
 public:
  // C_FindObjectsInit(session, tmpl, count); InitResult() tells how it went.
  TObjectSearch(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count);
  // C_FindObjectsFinal when the search began and Finish() has not ended it.
  ~TObjectSearch();
  TObjectSearch(const TObjectSearch&) = delete;
  TObjectSearch& operator=(const TObjectSearch&) = delete;

  CK_RV InitResult() const { return initRv_; }
  // One C_FindObjects of at most max handles; found is never more than max.
  CK_RV Next(CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG& found);
  // C_FindObjectsFinal now, for a caller that reports its result; CKR_OK when the
  // search had not begun or was ended already.
  CK_RV Finish();

 private:
  CK_SESSION_HANDLE session_;
  CK_RV initRv_;
  bool active_;
};

enum class SearchStep { Init, Find, Final };

struct TSearchResult {
  CK_RV Rv = CKR_OK;                     // of the step that failed
  SearchStep Failed = SearchStep::Init;  // meaningful only when !Ok()
  // What C_FindObjects returned; kept when only the search's end failed.
  std::vector<CK_OBJECT_HANDLE> Handles;
  bool Ok() const { return Rv == CKR_OK; }
};

// Told of a failed step at once, before the search is ended.
using TSearchFailure = std::function<void(SearchStep step, CK_RV rv)>;

// One whole search: Init, one C_FindObjects of at most max handles, Final.
TSearchResult FindObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ULONG max,
                          const TSearchFailure& onFailure = {});
// The objects of a class whose second integer attribute has the value given. Every
// integer attribute value is CK_ULONG-sized: a shorter one matches nothing.
TSearchResult FindObjectsOfClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE secondType,
                                 CK_ULONG second, CK_ULONG max, const TSearchFailure& onFailure = {});

enum class AttributeRead { Value, Absent, Failed };

// One attribute's value in two calls (its length, then the value). An attribute the
// object does not have, will not show or that holds more than maxBytes is Absent
// (value empty).
AttributeRead ReadAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                                 CK_ULONG maxBytes, std::vector<uint8_t>& value);
// An integer attribute in one call; value is 0 unless the call fills it.
CK_RV ReadUlongAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_ULONG& value);

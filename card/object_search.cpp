#include "card/object_search.h"

#include <algorithm>

#include "card/cryptoki.h"

TObjectSearch::TObjectSearch(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count)
    : session_(session), initRv_(cryptoki::C_FindObjectsInit(session, tmpl, count)), active_(initRv_ == CKR_OK) {}

TObjectSearch::~TObjectSearch() { Finish(); }

CK_RV TObjectSearch::Next(CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG& found) {
  found = 0;
  CK_ULONG n = 0;
  const CK_RV rv = cryptoki::C_FindObjects(session_, handles, max, &n);
  if (rv == CKR_OK) found = std::min(n, max);
  return rv;
}

CK_RV TObjectSearch::Finish() {
  if (!active_) return CKR_OK;
  active_ = false;
  return cryptoki::C_FindObjectsFinal(session_);
}

TSearchResult FindObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ULONG max,
                          const TSearchFailure& onFailure) {
  TSearchResult result;
  auto fail = [&](SearchStep step, CK_RV rv) {
    result.Rv = rv;
    result.Failed = step;
    if (onFailure) onFailure(step, rv);
    return std::move(result);
  };
  TObjectSearch search(session, tmpl, count);
  if (search.InitResult() != CKR_OK) return fail(SearchStep::Init, search.InitResult());
  result.Handles.assign(max, 0);
  CK_ULONG found = 0;
  const CK_RV rv = search.Next(result.Handles.data(), max, found);
  result.Handles.resize(found);
  if (rv != CKR_OK) return fail(SearchStep::Find, rv);
  const CK_RV end = search.Finish();
  if (end != CKR_OK) return fail(SearchStep::Final, end);
  return result;
}

TSearchResult FindObjectsOfClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_ATTRIBUTE_TYPE secondType,
                                 CK_ULONG second, CK_ULONG max, const TSearchFailure& onFailure) {
  CK_OBJECT_CLASS cls = objectClass;
  CK_ULONG value = second;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {secondType, &value, sizeof value}};
  return FindObjects(session, tmpl, 2, max, onFailure);
}

AttributeRead ReadAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                                 CK_ULONG maxBytes, std::vector<uint8_t>& value) {
  value.clear();
  CK_ATTRIBUTE a = {type, nullptr, 0};
  CK_RV rv = cryptoki::C_GetAttributeValue(session, object, &a, 1);
  if (rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID) return AttributeRead::Absent;
  if (rv != CKR_OK) return AttributeRead::Failed;
  if (a.ulValueLen == 0 || a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > maxBytes)
    return AttributeRead::Absent;
  const CK_ULONG length = a.ulValueLen;
  value.assign(length, 0);
  a = {type, value.data(), length};
  rv = cryptoki::C_GetAttributeValue(session, object, &a, 1);
  if (rv != CKR_OK) {
    value.clear();
    return AttributeRead::Failed;
  }
  // A module may shrink the length on the second call, never grow it.
  if (a.ulValueLen == 0 || a.ulValueLen > length) {
    value.clear();
    return AttributeRead::Absent;
  }
  value.resize(a.ulValueLen);
  return AttributeRead::Value;
}

CK_RV ReadUlongAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_ULONG& value) {
  value = 0;
  CK_ATTRIBUTE a{type, &value, sizeof value};
  return cryptoki::C_GetAttributeValue(session, object, &a, 1);
}

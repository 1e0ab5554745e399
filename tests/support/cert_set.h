#pragma once
// Certificates of a set made once per build tree (SharedTestFolder) with the
// openssl command line: each "<name>" of the set's folder as PEM, as DER and as a
// DER PKCS #7 holding only it.
#include <string>

struct MadeCert {
  std::string der;  // path of the DER certificate ("<name>.der")
  std::string p7c;  // path of the PKCS #7 holding only it ("<name>.p7c")
  std::string pem;  // "<name>.pem"
};

// Where the files of certificate name are (or are to be) in folder.
MadeCert MadeCertPaths(const std::string& folder, const std::string& name);
// The files of certificate name of the set in folder, looked up once; throws when
// the set holds no such certificate.
const MadeCert& MadeCertIn(const std::string& folder, const std::string& name);

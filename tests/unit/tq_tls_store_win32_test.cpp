// Trust on Windows: a root installed in the Windows certificate store the
// Windows way becomes a trust anchor, unless TQ_CA_BUNDLE names the roots.
#include <windows.h>
// wincrypt.h needs the types of windows.h.
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sdk/tq_tls.h"
#include "sdk/tq_tls_internal.h"
#include "support/root_store_win32.h"

namespace {

// A private root of these tests only (its key was thrown away): no public
// bundle holds it, so only the store can bring it in.
const char kPrivateRoot[] =
    "MIIB0DCCAXegAwIBAgIUJ5JUNwWd2n02xUA5nlFcsC2J+zMwCgYIKoZIzj0EAwIw"
    "PTEfMB0GA1UECgwWcGx1Z2luX3dlYnNlYXJjaCB0ZXN0czEaMBgGA1UEAwwRUHJp"
    "dmF0ZSBUZXN0IFJvb3QwIBcNMjYxMjA5MDg0ODQzWhgPMjEyNjExMTUwODQ4NDNa"
    "MD0xHzAdBgNVBAoMFnBsdWdpbl93ZWJzZWFyY2ggdGVzdHMxGjAYBgNVBAMMEVBy"
    "aXZhdGUgVGVzdCBSb290MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEQm1xoEgs"
    "b2i8FphlKf4PwXENvCM9qkBtM5Up0GNS+tdDuxKRpyKaJYoUpJBuPfd1+T5V0QcM"
    "EofeAhjCneNMaqNTMFEwHQYDVR0OBBYEFNeOOooZmTjeg7pPkyio4yiCr1XtMB8G"
    "A1UdIwQYMBaAFNeOOooZmTjeg7pPkyio4yiCr1XtMA8GA1UdEwEB/wQFMAMBAf8w"
    "CgYIKoZIzj0EAwIDRwAwRAIgEtpObaHfrYBI+ay3SZiS67Xu0VzCc/MHu1+fc8q8"
    "RHkCIHPrxKvDFQzIOTfM9+hLF4bTkmwSg5b8SvKBBiPENQNg";

// The subject of the private root, DER-encoded.
std::vector<BYTE> private_subject() {
  std::vector<BYTE> out;
  const std::vector<BYTE> der = ws_test::der_from_base64(kPrivateRoot);
  if (der.empty()) return out;
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (c == nullptr) return out;
  out.assign(c->pCertInfo->Subject.pbData,
             c->pCertInfo->Subject.pbData + c->pCertInfo->Subject.cbData);
  CertFreeCertificateContext(c);
  return out;
}

// How many anchors of a freshly loaded table carry this subject.
size_t anchors_with_subject(const std::vector<BYTE> &subject) {
  tq_anchor_reset();
  tq_load_env_ca();
  size_t count = 0;
  br_x509_trust_anchor *copy = tq_anchor_copy(&count);
  size_t hits = 0;
  for (size_t i = 0; i < count; i++) {
    if (copy[i].dn.len == subject.size() &&
        memcmp(copy[i].dn.data, subject.data(), subject.size()) == 0) {
      hits++;
    }
  }
  free(copy);
  return hits;
}

// Started by the test below as a fresh process (a process reads the root
// store once, so only a new one sees a root added meanwhile): answers with
// the number of anchors that carry the private root's subject as its exit
// status, before any test runs.
const int g_store_child = [] {
  if (getenv("WS_STORE_ROOTS_CHILD") == nullptr) return 0;
  _exit(static_cast<int>(anchors_with_subject(private_subject())));
}();

// Runs this test program as that fresh process; its exit status, or -1.
int child_anchor_hits(const char *ca_bundle) {
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return -1;
  _putenv_s("WS_STORE_ROOTS_CHILD", "1");
  _putenv_s("TQ_CA_BUNDLE", ca_bundle);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::wstring cmd = std::wstring(L"\"") + self + L"\"";
  BOOL ok =
      CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  _putenv_s("WS_STORE_ROOTS_CHILD", "");
  _putenv_s("TQ_CA_BUNDLE", "");
  if (!ok) return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

TEST(StoreRoots, ARootInstalledInTheMachinesStoreIsTrustedByTheNextProcess) {
  const std::vector<BYTE> subject = private_subject();
  ASSERT_FALSE(subject.empty());
  EXPECT_EQ(child_anchor_hits(""), 0) << "the private root is in no bundle";

  // Installed the Windows way: into the registry store behind ROOT.
  ws_test::machine_root root(ws_test::der_from_base64(kPrivateRoot));
  ASSERT_TRUE(root.ok());
  const int with_store = child_anchor_hits("");
  // TQ_CA_BUNDLE names the roots in place of the system's, as on Linux.
  const int with_bundle = child_anchor_hits("missing-bundle.pem");
  root.remove();

  // Once, though the user's ROOT shows the machine's roots as well.
  EXPECT_EQ(with_store, 1);
  EXPECT_EQ(with_bundle, 0);
  EXPECT_EQ(child_anchor_hits(""), 0) << "removed from the store, no longer trusted";
}

TEST(StoreRoots, BundleInAFolderOutsideTheAnsiCodePageIsRead) {
  const std::vector<BYTE> subject = private_subject();
  ASSERT_FALSE(subject.empty());
  wchar_t tmp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, tmp), 0u);
  const std::filesystem::path dir =
      std::filesystem::path(tmp) /
      (L"ws_bundle_\u00e9\u65e5\u672c_" + std::to_wstring(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path bundle = dir / L"\u7528\u6237.pem";
  {
    std::ofstream out(bundle, std::ios::binary);
    out << "-----BEGIN CERTIFICATE-----\n";
    for (size_t i = 0; i < strlen(kPrivateRoot); i += 64) {
      out << std::string(kPrivateRoot + i, std::min<size_t>(64, strlen(kPrivateRoot) - i)) << "\n";
    }
    out << "-----END CERTIFICATE-----\n";
  }
  _wputenv_s(L"TQ_CA_BUNDLE", bundle.c_str());
  const size_t named = anchors_with_subject(subject);
  _wputenv_s(L"TQ_CA_BUNDLE", (dir / L"missing.pem").c_str());
  const size_t missing = anchors_with_subject(subject);
  _wputenv_s(L"TQ_CA_BUNDLE", L"");
  tq_anchor_reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  EXPECT_EQ(named, 1u) << "the bundle's root was not read";
  EXPECT_EQ(missing, 0u);
}

}  // namespace

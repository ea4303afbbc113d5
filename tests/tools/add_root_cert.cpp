// Makes the machine trust a certificate authority: adds a DER-encoded
// certificate to the LocalMachine "Root" system store.
//
//   add_root_cert <ca.der>
//
// Exits 0 when the certificate is in the store afterwards (added now or
// already there), 1 on a usage error, 2 when the file cannot be read and 3
// when the store cannot be opened or written.
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

class CertStore {
public:
    explicit CertStore(HCERTSTORE store) : store_(store) {}
    ~CertStore() {
        if (store_ != nullptr) CertCloseStore(store_, 0);
    }
    CertStore(const CertStore&) = delete;
    CertStore& operator=(const CertStore&) = delete;
    HCERTSTORE get() const { return store_; }

private:
    HCERTSTORE store_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: add_root_cert <ca.der>\n");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || der.empty()) {
        std::fprintf(stderr, "add_root_cert: cannot read %ls\n", argv[1]);
        return 2;
    }
    CertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (store.get() == nullptr) {
        std::fprintf(stderr, "add_root_cert: cannot open the Root store (%lu)\n", GetLastError());
        return 3;
    }
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr)) {
        std::fprintf(stderr, "add_root_cert: cannot add the certificate (%lu)\n", GetLastError());
        return 3;
    }
    std::printf("add_root_cert: ok\n");
    return 0;
}

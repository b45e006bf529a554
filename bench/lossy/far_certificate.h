#pragma once
// A certificate authority made for one benchmark run and a server certificate it signs for
// one IP address: the tests' own certificate names loopback only, and a mall across an
// emulated path listens at another address, which the tool checks as it checks any mall's.

#include <string>

#include "platform/result.h"

namespace vellicor::bench {

struct FarCertificate {
    std::string folder;       // where the files are; removed with them by removeCertificate
    std::string authority;    // the authority's certificate (PEM), for HttpSettings::caFile
    std::string certificate;  // the server's (PEM)
    std::string key;          // its private key (PEM)
};

Result<FarCertificate> makeCertificate(const std::string& ipAddress);
void removeCertificate(const FarCertificate& made);

}  // namespace vellicor::bench

// Certificates made at test time, and TLS connections driven by receive passes.
//
// TestPki makes a scratch directory of PEM files with OpenSSL's API: CAs, and leaf certificates
// signed by one of them (P-256 keys; subject alternative names DNS:localhost and
// IP:127.0.0.1). Nothing secret is kept in the repository. The directory is removed with the
// object. Not thread-safe; one test thread uses it.
#pragma once

#include <string>

#include "base/KEPString.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgTlsSettings.h"
#include "tests/support/KEPTestNet.h"

namespace keptest {

class TestPki {
  public:
    // Makes CA name (files name.pem, name.key); its path is Path(name + ".pem").
    void MakeCa(const std::string& name);
    // Makes leaf name signed by CA ca, valid now unless expired (then it ended yesterday).
    void MakeLeaf(const std::string& name, const std::string& ca, bool expired = false);
    std::string Path(const std::string& file) const { return m_dir.File(file); }
    // Settings with leaf's chain and key (leaf "" for none) and ca's certificate (ca "": none).
    KEPMsgTlsSettings Settings(const std::string& leaf, const std::string& ca) const;

  private:
    TempDirectory m_dir;
};

// Connects to 127.0.0.1:port through TLS (ConnectToServer) on a thread of its own while this
// thread runs receive passes, so that a server of this process can shake hands. Null, with
// error set, when it failed.
KEPMsgCommSocket* ConnectTlsWhilePumping(int port, const KEPMsgTlsSettings& settings,
                                         std::string& error);

}  // namespace keptest

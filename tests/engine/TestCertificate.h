// A self-signed server certificate for 127.0.0.1 (P-256), made with the openssl command in a
// scratch folder that goes with it. Ok() is false when openssl is missing or failed.
#pragma once

#include <cstdlib>
#include <string>

#include <unistd.h>

class TestCertificate {
public:
    TestCertificate()
    {
        char folder[] = "/tmp/test-cert-XXXXXX";
        if (!::mkdtemp(folder))
            return;
        folder_ = folder;
        const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
                                    Key() + " -out " + Cert() + " >/dev/null 2>&1";
        ok_ = std::system(command.c_str()) == 0;
    }
    ~TestCertificate()
    {
        ::unlink(Key().c_str());
        ::unlink(Cert().c_str());
        ::rmdir(folder_.c_str());
    }
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    bool Ok() const { return ok_; }
    std::string Cert() const { return folder_ + "/server.pem"; }
    std::string Key() const { return folder_ + "/server.key"; }

private:
    std::string folder_;
    bool ok_ = false;
};

#pragma once
// The demo service in-process on an ephemeral loopback port, with a fresh data folder, the
// project's page and the built sample packages.

#include "DemoService.h"
#include "core/Crypto.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <mutex>
#include <pugixml.hpp>

namespace servicetest {

class ServiceFixture : public ::testing::Test {
protected:
    void SetUp() override { startService(); }
    void TearDown() override {
        if (service)
            service->stop();
    }

    void startService() {
        vxdemo::ServiceOptions o;
        o.dataDir = data.path();
        o.webDir = VX_WEB_DIR;
        o.appsDirs = {VX_SAMPLE_APPS_DIR};
        o.lockSeconds = lockSeconds;
        adjust(o);
        o.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        };
        auto created = vxdemo::DemoService::create(o);
        ASSERT_TRUE(created.ok()) << created.error();
        service = std::move(created).value();
        auto bound = service->bind("127.0.0.1", 0);
        ASSERT_TRUE(bound.ok()) << bound.error();
        port = *bound;
        service->start();
    }

    // A test's changes to the service's options (a signing key, TLS).
    virtual void adjust(vxdemo::ServiceOptions&) {}

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_decompress(false);
        return c;
    }
    // Requests whose log line starts with `prefix` ("GET /apps/x").
    int requests(const std::string& prefix) {
        std::lock_guard lock(logMutex);
        int n = 0;
        for (const auto& l : log)
            n += l.rfind(prefix, 0) == 0;
        return n;
    }

    static std::string token(const std::string& uid) { return vx::ScrambleParam(uid); }
    static std::string md5Upper(const std::string& bytes) {
        std::string d = vx::md5HexLower(bytes);
        for (char& c : d)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return d;
    }

    vxtest::TempDir data{"svc"};
    std::unique_ptr<vxdemo::DemoService> service;
    int port = 0;
    int lockSeconds = 60;
    std::mutex logMutex;
    std::vector<std::string> log;
};

// Parses an XML reply; fails the test when it is not well-formed.
inline pugi::xml_node parseXml(pugi::xml_document& doc, const std::string& text) {
    auto r = doc.load_string(text.c_str());
    EXPECT_TRUE(r) << r.description() << "\n" << text;
    return doc.document_element();
}

} // namespace servicetest

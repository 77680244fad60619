#pragma once
// Fake engine, view and page-API collaborators for the bridge tests.

#include "api/PageHost.h"
#include "bridge/Engine.h"
#include "link/HelperLibraries.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vx {
// Readable failures.
inline void PrintTo(const ResultValue& r, std::ostream* os) {
    if (r.isInt())
        *os << "int " << r.intValue();
    else if (r.isDouble())
        *os << "double " << r.doubleValue();
    else if (r.isString())
        *os << "string \"" << r.stringValue() << '"';
    else
        *os << "empty";
}
} // namespace vx

namespace bridgetest {

class FakeEngine : public vx::IScriptEngine {
public:
    bool accept = true;
    struct Registration {
        std::string name, source;
        std::shared_ptr<vx::IScriptHandler> handler;
    };
    std::vector<Registration> registrations;

    bool registerExtension(const std::string& name, const std::string& source,
                           std::shared_ptr<vx::IScriptHandler> handler) override {
        if (!accept)
            return false;
        registrations.push_back({name, source, std::move(handler)});
        return true;
    }
};

class FakeView : public vx::IBrowserView {
public:
    struct Run {
        std::string code, url;
        int line;
    };
    std::vector<Run> runs;
    void executeJavaScript(const std::string& code, const std::string& url, int line) override {
        runs.push_back({code, url, line});
    }
};

class FakeHost : public vx::IPageHost {
public:
    std::vector<std::string> calls;
    std::vector<std::pair<std::string, std::optional<std::pair<int, int>>>> popups;
    bool hasBrowserView() const override { return true; }
    void executeInMainFrame(const std::string& s) override { calls.push_back(s); }
    void openPopup(const std::string& url, std::optional<std::pair<int, int>> size) override {
        popups.emplace_back(url, size);
    }
    void openInSystemBrowser(const std::string&) override {}
    void enableRefreshTimer() override {}
    void closeMainWindow() override {}
};

class FakeLink : public vx::ILinkServer {
public:
    std::vector<std::string> sent;
    void CloseAll() override {}
    void SetUid(const std::string&) override {}
    void sendToApp(const std::string& m) override { sent.push_back(m); }
};

class FakeDownloader : public vx::IDownloader {
public:
    int calls = 0;
    void DownFile(const std::string&, const std::string&, const std::string&, int, int) override {
        ++calls;
    }
    bool CancelDown(int) override { return false; }
};

// Script values in short.
inline vx::ScriptValue S(std::string s) {
    return vx::ScriptValue::string(std::move(s));
}
inline vx::ScriptValue N(double d) {
    return vx::ScriptValue::number(d);
}
inline vx::ScriptValue B(bool b) {
    return vx::ScriptValue::boolean(b);
}
inline vx::ScriptValue U() {
    return vx::ScriptValue::undefined();
}

} // namespace bridgetest

#pragma once
// The demo service's accounts and catalogue in one SQLite database: users with salted
// PBKDF2-SHA256 password hashes, the catalogue of applications, and each user's list.
// One Store may be used from several server threads; every call takes its lock.

#include "core/Expected.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace vxdemo {

struct User {
    std::int64_t id = 0;
    std::string name;
    std::string qq;
    std::string agentId;
};

// One catalogue entry; the names follow the elements of the list reply.
struct App {
    std::int64_t id = 0;
    std::string name;
    std::string dir;      // folder below apps/ on the service and on the client
    std::string ico;      // icon file, relative to the folder
    std::string mainFile; // file to start, relative to the folder
    std::string version;  // version offered by the catalogue
    std::string price;
    std::string statu = "显示";
    std::string nessary = "否";
    std::string note;
    std::string img;
    std::string url; // help address
    std::string sort;
    std::string versionName;
    std::string package; // install package file name in the folder (the descriptor's zipFile)
};

// Password hashing: PBKDF2-HMAC-SHA256 with a random 16-byte salt.
inline constexpr int kPbkdf2Iterations = 120000;

class Store {
public:
    // Opens (creating when missing) the database file. The error says why it cannot.
    static vx::Expected<std::unique_ptr<Store>> open(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // True when the database holds no user and no application yet.
    bool empty();

    // Adds a user; fails for an empty name or password, or a name already taken.
    vx::Expected<std::int64_t> addUser(const std::string& name, const std::string& password,
                                       const std::string& qq = "", const std::string& agentId = "",
                                       std::optional<std::int64_t> id = std::nullopt);
    // Replaces a user's password; fails when the user does not exist.
    vx::Status setPassword(const std::string& name, const std::string& password);
    // The user when name and password match; none otherwise (also for an unknown name).
    std::optional<User> checkLogin(const std::string& name, const std::string& password);
    std::optional<User> userById(std::int64_t id);
    std::optional<User> userByName(const std::string& name);

    // Adds or replaces a catalogue entry (by id). Fails for a missing id, name or folder, a
    // folder name that is not one plain level, or a folder used by another entry.
    vx::Status putApp(const App& app);
    std::optional<App> appById(std::int64_t id);
    std::optional<App> appByDir(const std::string& dir);
    // The whole catalogue, by sort key then id.
    std::vector<App> catalogue();

    // A user's list in the order the applications were added.
    std::vector<App> userApps(std::int64_t userId);
    // Adds an application to a user's list (nothing when it is there already). Fails for an
    // unknown user or application.
    vx::Status addUserApp(std::int64_t userId, std::int64_t appId);

private:
    explicit Store(sqlite3* db);
    vx::Status exec(const char* sql);

    std::mutex m_mutex;
    sqlite3* m_db;
};

// True for a folder name that stays one plain level below apps/.
bool isPlainDirName(const std::string& dir);

} // namespace vxdemo

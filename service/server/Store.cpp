#include "Store.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

namespace vxdemo {

namespace {

constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;

// One prepared statement, finalized when it goes.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) {
        m_ok = sqlite3_prepare_v2(db, sql, -1, &m_s, nullptr) == SQLITE_OK;
    }
    ~Stmt() { sqlite3_finalize(m_s); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return m_ok; }
    Stmt& bind(int i, const std::string& v) {
        sqlite3_bind_text(m_s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bind(int i, std::int64_t v) {
        sqlite3_bind_int64(m_s, i, v);
        return *this;
    }
    Stmt& bindBlob(int i, const std::string& v) {
        sqlite3_bind_blob(m_s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return m_ok ? sqlite3_step(m_s) : SQLITE_ERROR; }
    std::string text(int col) const {
        auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_s, col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(m_s, col))) : "";
    }
    std::string blob(int col) const {
        auto* p = static_cast<const char*>(sqlite3_column_blob(m_s, col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(m_s, col))) : "";
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(m_s, col); }

private:
    sqlite3_stmt* m_s = nullptr;
    bool m_ok = false;
};

std::string pbkdf2(const std::string& password, const std::string& salt, int iterations) {
    std::string out(kHashBytes, '\0');
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                      reinterpret_cast<const unsigned char*>(salt.data()),
                      static_cast<int>(salt.size()), iterations, EVP_sha256(), kHashBytes,
                      reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

std::string randomSalt() {
    std::string salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), kSaltBytes) != 1)
        throw std::runtime_error("no random bytes for a password salt");
    return salt;
}

constexpr const char* kAppColumns =
    "id, name, dir, ico, main_file, version, price, statu, nessary, note, img, url, sort, "
    "version_name, package";

App readApp(const Stmt& s) {
    App a;
    a.id = s.integer(0);
    a.name = s.text(1);
    a.dir = s.text(2);
    a.ico = s.text(3);
    a.mainFile = s.text(4);
    a.version = s.text(5);
    a.price = s.text(6);
    a.statu = s.text(7);
    a.nessary = s.text(8);
    a.note = s.text(9);
    a.img = s.text(10);
    a.url = s.text(11);
    a.sort = s.text(12);
    a.versionName = s.text(13);
    a.package = s.text(14);
    return a;
}

} // namespace

bool isPlainDirName(const std::string& dir) {
    if (dir.empty() || dir == "." || dir == ".." || dir.size() > 100)
        return false;
    for (unsigned char c : dir)
        if (c < 0x20 || c == '/' || c == '\\' || c == ':' || c == '"' || c == '<' || c == '>' ||
            c == '|' || c == '?' || c == '*' || c == '%' || c == '#')
            return false;
    return dir.back() != '.' && dir.back() != ' ';
}

vx::Expected<std::unique_ptr<Store>> Store::open(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return vx::Error{"cannot open the database " + path + ": " + why};
    }
    sqlite3_busy_timeout(db, 5000);
    std::unique_ptr<Store> store(new Store(db));
    vx::Status st = store->exec(
        "PRAGMA foreign_keys = ON;"
        "CREATE TABLE IF NOT EXISTS users ("
        "  id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, salt BLOB NOT NULL,"
        "  hash BLOB NOT NULL, iterations INTEGER NOT NULL, qq TEXT NOT NULL DEFAULT '',"
        "  agent_id TEXT NOT NULL DEFAULT '');"
        "CREATE TABLE IF NOT EXISTS apps ("
        "  id INTEGER PRIMARY KEY, name TEXT NOT NULL, dir TEXT NOT NULL UNIQUE,"
        "  ico TEXT NOT NULL DEFAULT '', main_file TEXT NOT NULL DEFAULT '',"
        "  version TEXT NOT NULL DEFAULT '', price TEXT NOT NULL DEFAULT '',"
        "  statu TEXT NOT NULL DEFAULT '', nessary TEXT NOT NULL DEFAULT '',"
        "  note TEXT NOT NULL DEFAULT '', img TEXT NOT NULL DEFAULT '',"
        "  url TEXT NOT NULL DEFAULT '', sort TEXT NOT NULL DEFAULT '',"
        "  version_name TEXT NOT NULL DEFAULT '', package TEXT NOT NULL DEFAULT '');"
        "CREATE TABLE IF NOT EXISTS user_apps ("
        "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
        "  app_id INTEGER NOT NULL REFERENCES apps(id) ON DELETE CASCADE,"
        "  seq INTEGER NOT NULL, PRIMARY KEY (user_id, app_id));");
    if (!st)
        return vx::Error{"cannot set up the database " + path + ": " + st.error()};
    return store;
}

Store::Store(sqlite3* db) : m_db(db) {}
Store::~Store() {
    sqlite3_close(m_db);
}

vx::Status Store::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : "unknown error";
        sqlite3_free(err);
        return vx::Error{why};
    }
    return {};
}

bool Store::empty() {
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, "SELECT (SELECT COUNT(*) FROM users) + (SELECT COUNT(*) FROM apps)");
    return s.step() == SQLITE_ROW && s.integer(0) == 0;
}

vx::Expected<std::int64_t> Store::addUser(const std::string& name, const std::string& password,
                                          const std::string& qq, const std::string& agentId,
                                          std::optional<std::int64_t> id) {
    if (name.empty())
        return vx::Error{"the user name is empty"};
    if (password.empty())
        return vx::Error{"the password is empty"};
    const std::string salt = randomSalt();
    const std::string hash = pbkdf2(password, salt, kPbkdf2Iterations);
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, "INSERT INTO users (id, name, salt, hash, iterations, qq, agent_id) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?)");
    if (id)
        s.bind(1, *id);
    s.bind(2, name).bindBlob(3, salt).bindBlob(4, hash).bind(5, std::int64_t{kPbkdf2Iterations});
    s.bind(6, qq).bind(7, agentId);
    int rc = s.step();
    if (rc == SQLITE_CONSTRAINT)
        return vx::Error{"the user \"" + name + "\" exists already"};
    if (rc != SQLITE_DONE)
        return vx::Error{std::string("cannot add the user: ") + sqlite3_errmsg(m_db)};
    return sqlite3_last_insert_rowid(m_db);
}

vx::Status Store::setPassword(const std::string& name, const std::string& password) {
    if (password.empty())
        return vx::Error{"the password is empty"};
    const std::string salt = randomSalt();
    const std::string hash = pbkdf2(password, salt, kPbkdf2Iterations);
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, "UPDATE users SET salt = ?, hash = ?, iterations = ? WHERE name = ?");
    s.bindBlob(1, salt).bindBlob(2, hash).bind(3, std::int64_t{kPbkdf2Iterations}).bind(4, name);
    if (s.step() != SQLITE_DONE)
        return vx::Error{std::string("cannot change the password: ") + sqlite3_errmsg(m_db)};
    if (sqlite3_changes(m_db) == 0)
        return vx::Error{"no user \"" + name + "\""};
    return {};
}

std::optional<User> Store::checkLogin(const std::string& name, const std::string& password) {
    std::string salt, hash;
    std::int64_t iterations = 0;
    User u;
    {
        std::lock_guard lock(m_mutex);
        Stmt s(m_db,
               "SELECT id, name, salt, hash, iterations, qq, agent_id FROM users WHERE name = ?");
        s.bind(1, name);
        if (s.step() != SQLITE_ROW)
            return std::nullopt;
        u = {s.integer(0), s.text(1), s.text(5), s.text(6)};
        salt = s.blob(2);
        hash = s.blob(3);
        iterations = s.integer(4);
    }
    if (iterations <= 0 || iterations > 10'000'000 || hash.size() != kHashBytes)
        return std::nullopt;
    // Hashed outside the lock: the slow part must not hold up other requests.
    const std::string got = pbkdf2(password, salt, static_cast<int>(iterations));
    if (CRYPTO_memcmp(got.data(), hash.data(), kHashBytes) != 0)
        return std::nullopt;
    return u;
}

std::optional<User> Store::userById(std::int64_t id) {
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, "SELECT id, name, qq, agent_id FROM users WHERE id = ?");
    s.bind(1, id);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return User{s.integer(0), s.text(1), s.text(2), s.text(3)};
}

std::optional<User> Store::userByName(const std::string& name) {
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, "SELECT id, name, qq, agent_id FROM users WHERE name = ?");
    s.bind(1, name);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return User{s.integer(0), s.text(1), s.text(2), s.text(3)};
}

vx::Status Store::putApp(const App& a) {
    if (a.id <= 0 || a.id > 2147483647)
        return vx::Error{"the application id must be a number from 1 to 2147483647"};
    if (a.name.empty())
        return vx::Error{"the application has no name"};
    if (!isPlainDirName(a.dir))
        return vx::Error{"the folder name \"" + a.dir + "\" must be one plain folder name"};
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, "INSERT INTO apps (id, name, dir, ico, main_file, version, price, statu, "
                 "nessary, note, img, url, sort, version_name, package) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                 "ON CONFLICT(id) DO UPDATE SET name = excluded.name, dir = excluded.dir, "
                 "ico = excluded.ico, main_file = excluded.main_file, version = excluded.version, "
                 "price = excluded.price, statu = excluded.statu, nessary = excluded.nessary, "
                 "note = excluded.note, img = excluded.img, url = excluded.url, "
                 "sort = excluded.sort, version_name = excluded.version_name, "
                 "package = excluded.package");
    s.bind(1, a.id).bind(2, a.name).bind(3, a.dir).bind(4, a.ico).bind(5, a.mainFile);
    s.bind(6, a.version).bind(7, a.price).bind(8, a.statu).bind(9, a.nessary).bind(10, a.note);
    s.bind(11, a.img).bind(12, a.url).bind(13, a.sort).bind(14, a.versionName).bind(15, a.package);
    int rc = s.step();
    if (rc == SQLITE_CONSTRAINT)
        return vx::Error{"the folder \"" + a.dir + "\" belongs to another application"};
    if (rc != SQLITE_DONE)
        return vx::Error{std::string("cannot store the application: ") + sqlite3_errmsg(m_db)};
    return {};
}

std::optional<App> Store::appById(std::int64_t id) {
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, (std::string("SELECT ") + kAppColumns + " FROM apps WHERE id = ?").c_str());
    s.bind(1, id);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return readApp(s);
}

std::optional<App> Store::appByDir(const std::string& dir) {
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, (std::string("SELECT ") + kAppColumns + " FROM apps WHERE dir = ?").c_str());
    s.bind(1, dir);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return readApp(s);
}

std::vector<App> Store::catalogue() {
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, (std::string("SELECT ") + kAppColumns + " FROM apps ORDER BY sort, id").c_str());
    std::vector<App> out;
    while (s.step() == SQLITE_ROW)
        out.push_back(readApp(s));
    return out;
}

std::vector<App> Store::userApps(std::int64_t userId) {
    std::lock_guard lock(m_mutex);
    std::string sql = "SELECT a.id, a.name, a.dir, a.ico, a.main_file, a.version, a.price, "
                      "a.statu, a.nessary, a.note, a.img, a.url, a.sort, a.version_name, "
                      "a.package FROM user_apps u JOIN apps a ON a.id = u.app_id "
                      "WHERE u.user_id = ? ORDER BY u.seq";
    Stmt s(m_db, sql.c_str());
    s.bind(1, userId);
    std::vector<App> out;
    while (s.step() == SQLITE_ROW)
        out.push_back(readApp(s));
    return out;
}

vx::Status Store::addUserApp(std::int64_t userId, std::int64_t appId) {
    std::lock_guard lock(m_mutex);
    Stmt s(m_db, "INSERT OR IGNORE INTO user_apps (user_id, app_id, seq) "
                 "SELECT ?, ?, COALESCE(MAX(seq), 0) + 1 FROM user_apps WHERE user_id = ?");
    s.bind(1, userId).bind(2, appId).bind(3, userId);
    int rc = s.step();
    if (rc == SQLITE_CONSTRAINT)
        return vx::Error{"no such user or application"};
    if (rc != SQLITE_DONE)
        return vx::Error{std::string("cannot add the application: ") + sqlite3_errmsg(m_db)};
    return {};
}

} // namespace vxdemo

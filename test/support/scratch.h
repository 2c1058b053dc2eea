// Test support: a fresh directory under /tmp, removed with all it holds when it goes, and the
// SQLite databases the tests build in it.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class ScratchDirectory {
  public:
    ScratchDirectory() {
        char pattern[] = "/tmp/scratch-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("cannot make a scratch directory");
        }
        path_ = pattern;
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path_); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    // Writes `content` to the file `name` in it; the file's path.
    std::string file(const std::string& name, const std::string& content) const {
        std::string path = path_ + "/" + name;
        std::ofstream(path, std::ios::trunc) << content;
        return path;
    }

  private:
    std::string path_;
};

// Runs `sql` on the database file at `path`, creating it when missing; SQLite's error, or "".
inline std::string execSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open(path.c_str(), &db);
    char* error = nullptr;
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    }
    std::string text = rc == SQLITE_OK ? "" : error != nullptr ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    sqlite3_close(db);
    return text;
}

// Helpers of the command-cache tests: a temporary folder and a side connection that reads a cache file
// the way an outsider would.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

namespace cache_test {

struct TempDir {
    std::string path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qvcache-XXXXXX").string();
        if (mkdtemp(tmpl.data()) != nullptr) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Every row of the first column of `sql` on `file`, opened read-only.
inline std::vector<std::string> column(const std::string &file, const char *sql) {
    std::vector<std::string> out;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        ADD_FAILURE() << "cannot open " << file;
        return out;
    }
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            const auto *t = sqlite3_column_text(st, 0);
            out.emplace_back(t ? reinterpret_cast<const char *>(t) : "");
        }
    } else {
        ADD_FAILURE() << sqlite3_errmsg(db);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

}  // namespace cache_test

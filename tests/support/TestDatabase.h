// A real database file in a fresh temp directory, initialised and wrapped in a
// ForwardingDatabase, plus helpers to add users, identities and groups;
// permission rows as the store takes them; and initialising any database
// quietly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "db/SqliteDatabase.h"
#include "support/ForwardingDatabase.h"
#include "support/TempDir.h"

namespace Korrafin::Test {

// Initialises `db`, keeping the lines it prints out of the test's output
// (also when it throws); returns them.
inline std::string initQuietly(DB::SqliteDatabase& db) {
    testing::internal::CaptureStdout();
    try {
        db.Initialize();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

// A permission row: `name` granted (value 1) or denied (0) to a target of
// `type` ("user", "servergroup", "channelgroup").
inline DB::DbPermission permissionRow(const std::string& type, int64_t target, const std::string& name, int32_t value,
                                      int32_t priority) {
    DB::DbPermission p;
    p.target_type = type;
    p.target_id = target;
    p.permission_name = name;
    p.value = value;
    p.priority = priority;
    return p;
}

class TestDatabase {
public:
    TestDatabase() : path_(dir_.file("test.db")) { open(); }

    // Closes and opens the same file again, as a restart would.
    void reopen() {
        db.reset();
        real.reset();
        open();
    }

    // A stored identity: the user row of unique identifier `identity`.
    int64_t addIdentity(const std::string& identity, int32_t role, const std::string& nick) {
        DB::DbUser u;
        u.nickname = nick;
        u.unique_identifier = identity;
        u.role = role;
        return real->SaveUser(u);
    }

    int64_t addUser(const std::string& nick) { return addIdentity("uid-" + nick, 0, nick); }


    int64_t addGroup(const std::string& name, int32_t priority) {
        DB::DbServerGroup g;
        g.name = name;
        g.priority = priority;
        return real->SaveServerGroup(g);
    }

    int64_t groupId(const std::string& name) {
        for (const auto& g : real->GetAllServerGroups())
            if (g.name == name) return g.id;
        throw std::runtime_error("no group " + name);
    }

    const std::string& path() const { return path_; }

    std::shared_ptr<DB::SqliteDatabase> real;
    std::shared_ptr<ForwardingDatabase> db;  // wraps `real`

private:
    void open() {
        real = std::make_shared<DB::SqliteDatabase>(path_);
        initQuietly(*real);
        db = std::make_shared<ForwardingDatabase>(real);
    }

    TempDir dir_;
    std::string path_;
};

}  // namespace Korrafin::Test

// The event log writer against the product database at its fixed path: the
// row values by type, texts that hold quotes or run long, a missing database
// or table, and a database that another connection holds for a moment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include "Install.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

struct Row {
    std::string level, taskname, infomation, date;
};

// Every row of the log table, oldest first; empty when there is no table.
std::vector<Row> Rows() {
    std::vector<Row> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(kDatabase, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT level, taskname, infomation, date FROM log ORDER BY id", -1, &statement,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            auto text = [statement](int i) {
                const unsigned char* value = sqlite3_column_text(statement, i);
                return value ? std::string(reinterpret_cast<const char*>(value)) : std::string("NULL");
            };
            rows.push_back({text(0), text(1), text(2), text(3)});
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

bool HasTable(const char* name) {
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    bool found = false;
    if (sqlite3_open_v2(kDatabase, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", -1, &statement,
                           nullptr) == SQLITE_OK &&
        sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC) == SQLITE_OK)
        found = sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
}

void Execute(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(kDatabase, &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

struct Printed {
    std::string out, err;
};

Printed WriteLogCapturingOutput(const char* text, int type) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    writelog_sqlite(text, type);
    Printed printed;
    printed.out = testing::internal::GetCapturedStdout();
    printed.err = testing::internal::GetCapturedStderr();
    return printed;
}

// The tests run nine hours east of UTC, so that a row stamped in UTC instead
// of local time is told apart.
class EventLog : public testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_) oldTz_ = tz;
        setenv("TZ", "KST-9", 1);
        tzset();
        ResetTree();
    }
    void TearDown() override {
        if (hadTz_) setenv("TZ", oldTz_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

    bool hadTz_ = false;
    std::string oldTz_;
};

constexpr long kKstOffsetSeconds = 9 * 3600;

// Seconds between a "YYYY-MM-DD HH:MM:SS" stamp and the current time of a
// clock kKstOffsetSeconds east of UTC.
long SecondsFromKstNow(const std::string& date) {
    struct tm stamp = {};
    const char* end = strptime(date.c_str(), "%Y-%m-%d %H:%M:%S", &stamp);
    if (end == nullptr || *end != '\0') return 1L << 30;
    long stampAsUtc = static_cast<long>(timegm(&stamp));
    return labs(stampAsUtc - (static_cast<long>(time(nullptr)) + kKstOffsetSeconds));
}

struct TypeCase {
    int type;
    const char* taskname;
};

const TypeCase kTypeCases[] = {
    {1, "엔진 업데이트"}, {5, "환경 설정"},   {0, "실시간 검사"}, {2, "실시간 검사"},
    {3, "실시간 검사"},   {4, "실시간 검사"}, {6, "실시간 검사"}, {-1, "실시간 검사"},
};

TEST_F(EventLog, RowHoldsLevelTaskByTypeTextAndLocalTime) {
    for (const TypeCase& c : kTypeCases) {
        SCOPED_TRACE(c.type);
        ResetTree();
        CreateDatabase();
        Printed printed = WriteLogCapturingOutput("엔진 업데이트  종료", c.type);
        EXPECT_EQ(printed.out, "");
        EXPECT_EQ(printed.err, "");
        std::vector<Row> rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].level, "정보");
        EXPECT_EQ(rows[0].taskname, c.taskname);
        EXPECT_EQ(rows[0].infomation, "엔진 업데이트  종료");
        EXPECT_LE(SecondsFromKstNow(rows[0].date), 60) << rows[0].date;
    }
}

// The text is quoted for SQL, never spliced in as it stands, and the
// statement grows with it, so every text is stored byte for byte.
TEST_F(EventLog, TextIsStoredAsItIs) {
    const std::string texts[] = {
        "",
        "it's",
        "''",
        "x'); DROP TABLE log; --",
        "%s %d %q %%",
        "줄\n바꿈\r\n",
        std::string(386, 'a'),
        std::string(388, 'b'), // would not fit a statement of fixed size
        std::string(2000, 'c') + "'" + std::string(666, '\xea'),
    };
    ResetTree();
    CreateDatabase();
    for (const std::string& text : texts) writelog_sqlite(text.c_str(), 1);
    std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), std::size(texts));
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(texts[i].size());
        EXPECT_EQ(rows[i].infomation, texts[i]);
        EXPECT_EQ(rows[i].taskname, "엔진 업데이트");
    }
}

TEST_F(EventLog, MissingDatabaseIsCreatedEmptyWithoutARow) {
    Printed printed = WriteLogCapturingOutput("엔진 업데이트  종료", 1);
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err, "");
    ASSERT_TRUE(Exists(kDatabase));
    EXPECT_EQ(ReadFile(kDatabase), "");
}

TEST_F(EventLog, MissingDatabaseDirectoryIsLeftAlone) {
    ASSERT_EQ(system("rm -rf /opt/morvaguard/vaccine"), 0);
    Printed printed = WriteLogCapturingOutput("엔진 업데이트  종료", 1);
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err, "");
    EXPECT_FALSE(Exists("/opt/morvaguard/vaccine"));
}

TEST_F(EventLog, MissingTableWritesNothing) {
    Execute("CREATE TABLE other (x TEXT);");
    Printed printed = WriteLogCapturingOutput("엔진 업데이트  종료", 1);
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err, "");
    EXPECT_FALSE(HasTable("log"));
    EXPECT_TRUE(HasTable("other"));
}

// Another connection (the product) holds the database for about a second
// and then lets go: the row waits for it instead of being lost.
TEST_F(EventLog, RowWaitsForAConnectionThatHoldsTheDatabase) {
    CreateDatabase();
    pid_t holder = HoldDatabaseLock(1);
    ASSERT_GT(holder, 0) << "the other connection could not take the database";

    Printed printed = WriteLogCapturingOutput("엔진 업데이트  종료", 1);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(printed.out, "");
    std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].infomation, "엔진 업데이트  종료");
}

} // namespace

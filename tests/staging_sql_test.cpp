#include "intake/staging_sql.h"

#include <gtest/gtest.h>

#include "tests/support/fixed_clock.h"

namespace fw {
namespace {

class StagingSqlTest : public testing::Test {
 protected:
  const std::vector<TColumnEntry>& Read(const std::string& line) {
    fields_.SplitLine(line);
    reader_.Read(fields_, entries_);
    return entries_;
  }

  test::TFixedClock clock_{test::At(2024, 6, 15, 13, 45, 10)};
  TCardLineReader reader_{clock_};
  TStringListSDF fields_;
  std::vector<TColumnEntry> entries_;
};

TEST_F(StagingSqlTest, GroupRowGivesLookupUpdateAndInsert) {
  TSql sql(dkGeneric);
  sql.AddField("left", "over", tuText);
  FillGroupRow(Read("Blue Lot,40"), sql);
  EXPECT_EQ(GroupLookupSql(sql, fields_[0]).Rendered(),
            "SELECT id FROM card_pool WHERE name = 'Blue Lot'");
  EXPECT_EQ(GroupUpdateSql(sql, 12).Rendered(),
            "UPDATE card_pool set name='Blue Lot', max_inlot=40 WHERE id = 12");
  EXPECT_EQ(GroupInsertSql(sql).Rendered(),
            "INSERT INTO card_pool (name, max_inlot, cur_inlot) Values ('Blue Lot', 40, 0)");
}

TEST_F(StagingSqlTest, LookupUsesTheNameAsTheInsertStoresIt) {
  const struct {
    TDriverKind kind;
    const char* line;
    const char* literal;
  } cases[] = {
      {dkGeneric, "  Blue Lot \t,40", "'Blue Lot'"},
      {dkGeneric, "O'Brien,5", "'O''Brien'"},
      {dkGeneric, "x' OR '1'='1,5", "'x'' OR ''1''=''1'"},
      {dkMySql, "a\\' OR 1=1 -- ,5", "'a\\\\'' OR 1=1 --'"},
      {dkGeneric, "a\\' OR 1=1 -- ,5", "'a\\'' OR 1=1 --'"},
      {dkGeneric, "\"Staff, North\",5", "'Staff, North'"},
      {dkGeneric, ",5", "''"},
  };
  for (const auto& c : cases) {
    TSql sql(c.kind);
    FillGroupRow(Read(c.line), sql);
    const std::string lookup = GroupLookupSql(sql, fields_[0]).Rendered();
    EXPECT_EQ(lookup, std::string("SELECT id FROM card_pool WHERE name = ") + c.literal) << c.line;
    EXPECT_NE(GroupInsertSql(sql).Rendered().find(std::string("Values (") + c.literal + ", "),
              std::string::npos)
        << c.line;
  }
}

TEST_F(StagingSqlTest, CardRowInsertsEveryColumnItHas) {
  TSql sql(dkGeneric);
  std::string error;
  ASSERT_TRUE(FillCardRow(
      Read("A,1001,STAFF,Front desk,0800,20250106,1830,20251231,7,Blue Lot,O'Neill,Sean,"
           "Quay 3,Fenwick,FW2,111,222,L1,,ignored,M1,,M3, M4 "),
      sql, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(CardInsertSql(sql).Rendered(),
            "INSERT INTO futurecard (command, number, card_type, descr, start_dt, exp_iry, "
            "add_value, group_name, last_name, first_name, str_eet, ci_ty, post_code, phone_res, "
            "phone_bus, license_1, license_2, misc_1, misc_2, misc_3, misc_4) Values ('A', 1001, "
            "'STAFF', 'Front desk', {ts '2025-01-06 08:00:00'}, {ts '2025-12-31 18:30:00'}, 7, "
            "'Blue Lot', 'O''Neill', 'Sean', 'Quay 3', 'Fenwick', 'FW2', '111', '222', 'L1', '', "
            "'M1', '', 'M3', 'M4')");
}

TEST_F(StagingSqlTest, ShortCardRowWritesOnlyItsColumns) {
  TSql sql(dkGeneric);
  std::string error;
  ASSERT_TRUE(FillCardRow(Read("C,1002,DEBIT"), sql, error));
  EXPECT_EQ(CardInsertSql(sql).Rendered(),
            "INSERT INTO futurecard (command, number, card_type) Values ('C', 1002, 'DEBIT')");
  ASSERT_TRUE(FillCardRow(Read("C,,DEBIT,,0800,,,,500"), sql, error));
  EXPECT_EQ(CardInsertSql(sql).Rendered(),
            "INSERT INTO futurecard (command, number, card_type, descr, start_dt, exp_iry, "
            "add_value) Values ('C', null, 'DEBIT', '', {ts '2024-06-15 08:00:00'}, "
            "{ts '2024-06-15 00:00:00'}, 500)");
}

TEST_F(StagingSqlTest, CardNumberMustBeEmptyOrAPlainInteger) {
  const struct {
    const char* number;
    const char* written;  // nullptr: refused
  } cases[] = {
      {"", "null"},
      {"  ", "null"},
      {"123", "123"},
      {" 42 ", "42"},
      {"-5", "-5"},
      {"+7", "+7"},
      {"0007", "0007"},
      {"12a", nullptr},
      {"1;DROP TABLE card", nullptr},
      {"1) --", nullptr},
      {"0x1F", nullptr},
      {"1.5", nullptr},
      {"1e3", nullptr},
      {"1 2", nullptr},
      {"-", nullptr},
      {"NULL", nullptr},
      {"\xef\xbc\x91", nullptr},
  };
  for (const auto& c : cases) {
    TSql sql(dkMySql);
    std::string error;
    const bool ok = FillCardRow(Read(std::string("A,\"") + c.number + "\",STAFF"), sql, error);
    if (c.written) {
      ASSERT_TRUE(ok) << c.number << ": " << error;
      EXPECT_EQ(CardInsertSql(sql).Rendered(),
                std::string("INSERT INTO futurecard (command, number, "
                            "card_type) Values ('A', ") +
                    c.written + ", 'STAFF')");
    } else {
      EXPECT_FALSE(ok) << c.number;
      EXPECT_EQ(sql.Count(), 0u) << c.number;
      EXPECT_NE(error.find(c.number), std::string::npos) << error;
      EXPECT_NE(error.find("NUMBER"), std::string::npos) << error;
    }
  }
}

// The log shows a bound row as the statement that once carried its values: the same text, and
// the same refusals, for any line on either quoting.
TEST_F(StagingSqlTest, BoundRowReadsAsTheLiteralStatement) {
  const char* lines[] = {
      "A,1001,Day,Desk,0930,20240101,2359,20251231,5,North,O'Hare,First,St,Leeds,LS1,01,02,L1,"
      "L2,ign,m1,m2,m3,m4",
      "C,,DEBIT,,0800,,,,500",
      "A, 0007 ,x,back\\slash\\,,bad-date,,99999999",
      "A,\"1 OR 1=1\",Day",
      "A,-5,' ; --,\xc3\xa9\xe2\x82\xac,2500,00000000",
      "D,+7,Day,a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t,u,v,w",
  };
  for (const TDriverKind kind : {dkMySql, dkGeneric, dkPostgres}) {
    for (const char* line : lines) {
      TSql sql(kind);
      std::string literalError, boundError;
      const bool literal = FillCardRow(Read(line), sql, literalError);
      std::vector<std::string> names, values;
      std::vector<TBoundType> types;
      const bool bound = CardRowValues(Read(line), names, types, values, boundError);
      ASSERT_EQ(bound, literal) << line;
      EXPECT_EQ(boundError, literalError) << line;
      if (!bound) continue;
      TBoundRows rows;
      rows.Reset(names, types);
      rows.AddRow(values);
      rows.AddRow(values);
      EXPECT_EQ(CardRowsSql(rows, 1, 2, kind).Rendered(), CardInsertSql(sql).Rendered()) << line;
    }
  }
}

}  // namespace
}  // namespace fw

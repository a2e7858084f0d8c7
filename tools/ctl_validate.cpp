// fenwoldctl validate: reads card files offline and prints, line by line, what staging would
// run for them, without touching any database. A file is read in pieces as staging reads it,
// so that a file of any size is validated with flat memory.
#include <cstdio>
#include <string>
#include <vector>

#include "config/conn_params.h"
#include "db/sql.h"
#include "intake/card_encoding.h"
#include "intake/card_file.h"
#include "intake/card_stream.h"
#include "intake/staging_sql.h"
#include "platform/console.h"
#include "platform/files.h"
#include "tools/ctl_command.h"

namespace fw {
namespace {

struct TCounts {
  size_t group = 0, card = 0, ignored = 0, failing = 0;
};

// "2, 5, 9" (the first few, then "...").
std::string LineList(const std::vector<size_t>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size() && i < 5; ++i) {
    out += (i > 0 ? ", " : "") + std::to_string(lines[i]);
  }
  return lines.size() > 5 ? out + ", ..." : out;
}

void PrintSql(const char* label, const std::string& sql) {
  Print("                %-11s%s\n", label, sql.c_str());
}

bool CannotBeRead(const std::string& error = "") {
  Print("  cannot be read%s%s: staging would log \"Failed to load\" and retry it\n",
        error.empty() ? "" : ": ", error.c_str());
  return false;
}

// Characters the whole text replaces, which the note before its lines gives: a pass of its
// own, as they are known only once every piece is decoded. False when the file cannot be read.
bool CountReplaced(TFileReader& file, const TCardSurvey& survey, size_t& replaced) {
  TCardFileLines lines(file, survey);
  for (std::string line; lines.Next(line);) {
  }
  replaced = lines.Replaced();
  return !lines.Failed();
}

// Prints one file; false when staging would roll it back (or it cannot be read).
bool ValidateFile(const std::string& path, TDriverKind kind, const TCardFileEncoding& setting) {
  Print("%s\n", path.c_str());
  TReadOnlyFile file;
  TCardSurvey survey;
  if (!file.Open(path) || !SurveyCardFile(file, setting, survey)) return CannotBeRead();
  const TCardText& text = survey.text;
  if (!text.error.empty()) {
    if (text.badSetting) return CannotBeRead(text.error);
    Print("  encoding: %s, FAILS: %s; staging would move it to dtlerrors_dir\n",
          text.encoding.c_str(), text.error.c_str());
    return false;
  }
  size_t replaced = 0;
  if (!survey.noneReplaced && !CountReplaced(file, survey, replaced)) return CannotBeRead();
  Print("  encoding: %s (%s)\n", text.encoding.c_str(), text.how.c_str());
  if (replaced > 0) {
    Print("  note: %zu character(s) would be replaced\n", replaced);
  }
  if (text.Mixed()) {
    Print(
        "  MIXED ENCODINGS: line(s) %s are UTF-8, line(s) %s are not; all would be read "
        "as %s\n",
        LineList(text.utf8Lines).c_str(), LineList(text.otherLines).c_str(), text.encoding.c_str());
  } else if (!text.utf8Lines.empty()) {
    Print("  note: the text is UTF-8 but would be read as %s\n", text.encoding.c_str());
  }
  TCardFileLines source(file, survey);
  TCardLines lines(source, SystemClock());
  TSql sql(kind);
  TCounts n;
  while (lines.Next()) {
    const size_t number = lines.Number();
    const TStringListSDF& fields = lines.Fields();
    const TLineKind lineKind = lines.Kind();
    if (lineKind == lkIgnored) {
      ++n.ignored;
      Print("  %5zu ignored (%zu field%s)\n", number, fields.size(), fields.size() == 1 ? "" : "s");
      continue;
    }
    if (lineKind == lkGroup) {
      ++n.group;
      FillGroupRow(lines.Entries(), sql);
      Print("  %5zu group   %s\n", number, GroupLookupSql(sql, fields[0]).Rendered().c_str());
      // The id is the found row's; show where it goes rather than a made-up number.
      std::string update = GroupUpdateSql(sql, 0).Rendered();
      update.pop_back();
      PrintSql("found:", update + "<id>");
      PrintSql("not found:", GroupInsertSql(sql).Rendered());
      continue;
    }
    ++n.card;
    std::string error;
    if (FillCardRow(lines.Entries(), sql, error)) {
      Print("  %5zu card    %s\n", number, CardInsertSql(sql).Rendered().c_str());
    } else {
      ++n.failing;
      Print("  %5zu card    FAILS: %s\n", number, error.c_str());
    }
    if (fields.size() > CardColumns.size()) {
      PrintSql("note:", std::to_string(fields.size() - CardColumns.size()) +
                            " field(s) past the 24th ignored");
    }
  }
  if (lines.Failed()) return CannotBeRead();
  Print("  %zu line(s): %zu group, %zu card, %zu ignored; ", lines.Number(), n.group, n.card,
        n.ignored);
  if (n.failing == 0) {
    Print("staging would commit it and move it to dtlfiles_dir\n");
  } else {
    Print(
        "%zu would fail: staging would roll the whole file back and move it to "
        "dtlerrors_dir\n",
        n.failing);
  }
  return n.failing == 0 && !text.Mixed();
}

int Validate(const std::vector<std::string>& args) {
  TDriverKind kind = dkGeneric;
  std::string encoding;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string driver;
    if (args[i] == "--encoding" && i + 1 < args.size()) {
      encoding = args[++i];
      continue;
    }
    if (args[i].rfind("--encoding=", 0) == 0) {
      encoding = args[i].substr(11);
      continue;
    }
    if (args[i] == "--driver" && i + 1 < args.size()) {
      driver = args[++i];
    } else if (args[i].rfind("--driver=", 0) == 0) {
      driver = args[i].substr(9);
    } else if (args[i].rfind("--", 0) == 0) {
      PrintErr("fenwoldctl validate: unknown option '%s'\n", args[i].c_str());
      return 2;
    } else {
      files.push_back(args[i]);
      continue;
    }
    if (driver == "mysql") {
      kind = dkMySql;
    } else if (driver == "generic") {
      kind = dkGeneric;
    } else {
      PrintErr("fenwoldctl validate: --driver takes mysql or generic\n");
      return 2;
    }
  }
  if (files.empty()) {
    PrintErr("Usage: fenwoldctl validate [--driver mysql|generic] [--encoding NAME] FILE...\n");
    return 2;
  }
  // The registry's card file settings, unless the command line names an encoding.
  const TConnParams params;
  TCardFileEncoding setting{params.CardFileEncoding, params.CardFileCodePage};
  if (!encoding.empty()) setting.encoding = encoding;
  bool allPass = true;
  for (const std::string& f : files) allPass = ValidateFile(f, kind, setting) && allPass;
  return allPass ? 0 : 1;
}

const TCtlCommand kValidate("validate",
                            "validate [--driver mysql|generic] [--encoding NAME] FILE...",
                            "the encoding, each line's kind and the SQL staging would run; exit 1 "
                            "if any fails or the file mixes encodings",
                            Validate);

}  // namespace
}  // namespace fw

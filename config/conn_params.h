// TConnParams: a read-only snapshot of the installation's settings in the registry, read once
// with their defaults when the object is created.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fw {

class TConnParams {
 public:
  TConnParams();  // reads every value; never fails

  // The driver options: ODBCOptions with %h, %d, %u, %p replaced in that order.
  std::string ConnectOptions() const;

  std::string DSNName;
  std::string Host;
  std::string Database;
  std::string User;
  std::string Pass;
  std::string ODBCDriver;
  std::string ODBCOptions;
  std::string SMTPServer;
  std::string FromEmail;
  std::string EmailUser;
  std::string EmailPass;
  bool WebSiteEnabled = false;
  bool AuthReq = false;
  std::string WebSiteLocation;
  std::string BackupEmailAddress;
  bool BackupNotify = false;
  bool DebugLog = true;
  int32_t BackupDays = 0;
  int32_t BackupTime = 0;
  std::string BackupDest;
  bool BackupUnique = false;
  bool JavaInstalled = false;
  int32_t DTLFreq = 0;
  // "auto" or the encoding of every card file; the code page of card files that are not UTF-8.
  std::string CardFileEncoding;
  std::string CardFileCodePage;
  int32_t CardFileRetentionDays = 90;
  // How long a card file's size and modification time must stand still before it is staged
  // (a minimum file age); 0 stages it at once.
  int32_t CardFileSettleMs = 0;
  // 0 turns off the drop folder's watch: card files are then picked up at the ticks only.
  bool CardFileEvents = true;
  // ms between listings of the drop folder; 0 turns the poll off. None when the registry has no
  // value: a drop folder without events for other hosts' writes is then polled every 1000 ms.
  std::optional<int32_t> CardFilePollMs;
  int32_t DoneRetentionDays = 0;
  std::string MetricsFile;
};

}  // namespace fw

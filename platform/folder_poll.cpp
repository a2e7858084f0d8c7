#include "platform/folder_poll.h"

#include <cstdio>

namespace fw {
namespace {

struct TKnownFs {
  uint64_t magic;
  const char* name;
  TEventReach events;
};

// statfs f_type values (linux/magic.h and the file systems' own sources), kept here so that
// the table is the same on every build. FUSE covers fuseblk, sshfs, bindfs, virtiofs and
// glusterfs: their f_type is the same.
constexpr TKnownFs kKnownFs[] = {
    {0x6969, "nfs", erThisHostOnly},
    {0x517B, "smb", erThisHostOnly},
    {0xFF534D42, "cifs", erThisHostOnly},
    {0xFE534D42, "smb2", erThisHostOnly},
    {0x65735546, "fuse", erThisHostOnly},
    {0x01021997, "9p", erThisHostOnly},
    {0x73757245, "coda", erThisHostOnly},
    {0x5346414F, "afs", erThisHostOnly},
    {0x6B414653, "afs", erThisHostOnly},
    {0x00C36400, "ceph", erThisHostOnly},
    {0x564C, "ncp", erThisHostOnly},
    {0x0BD00BD0, "lustre", erThisHostOnly},
    {0x01161970, "gfs2", erThisHostOnly},
    {0x7461636F, "ocfs2", erThisHostOnly},
    {0x786F4256, "vboxsf", erThisHostOnly},
    {0x20030528, "orangefs", erThisHostOnly},
    {0xEF53, "ext4", erEveryHost},
    {0x58465342, "xfs", erEveryHost},
    {0x9123683E, "btrfs", erEveryHost},
    {0x01021994, "tmpfs", erEveryHost},
    {0x794C7630, "overlay", erEveryHost},
    {0x2FC12FC1, "zfs", erEveryHost},
    {0xF2F52010, "f2fs", erEveryHost},
    {0x4D44, "vfat", erEveryHost},
    {0x5346544E, "ntfs", erEveryHost},
    {0x2011BAB0, "exfat", erEveryHost},
    {0x3153464A, "jfs", erEveryHost},
    {0x52654973, "reiserfs", erEveryHost},
};

// GetDriveTypeW's DRIVE_REMOTE.
constexpr unsigned kDriveRemote = 4;

bool IsUncPath(const std::string& path) {
  const auto sep = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() < 3 || !sep(path[0]) || !sep(path[1])) return false;
  // "\\?\C:\..." and "\\.\C:\..." are local paths in the long form; "\\?\UNC\..." is not.
  if (path[2] == '?' || path[2] == '.') {
    return path.size() >= 8 && sep(path[3]) && (path[4] | 0x20) == 'u' &&
           (path[5] | 0x20) == 'n' && (path[6] | 0x20) == 'c' && sep(path[7]);
  }
  return true;
}

}  // namespace

TFolderKind FolderKindOfFsType(uint64_t fsType) {
  // statfs reports f_type as a signed word on some builds: a CIFS magic comes back
  // sign-extended.
  const uint64_t magic = fsType & 0xFFFFFFFFu;
  for (const TKnownFs& fs : kKnownFs) {
    if (fs.magic == magic) return {fs.events, fs.name, std::string("a file system of type ") + fs.name};
  }
  char name[32];
  std::snprintf(name, sizeof name, "type 0x%llx", static_cast<unsigned long long>(magic));
  return {erEveryHost, name, std::string("a file system of ") + name};
}

TFolderKind FolderKindOfWindowsPath(const std::string& path, unsigned driveType) {
  if (IsUncPath(path)) return {erThisHostOnly, "UNC path", "a UNC path"};
  if (driveType == kDriveRemote) return {erThisHostOnly, "remote drive", "a remote drive"};
  return {erEveryHost, "local drive", "a local drive"};
}

}  // namespace fw

// Whether the file system that holds a folder tells this host about other hosts' writes: the
// service polls a drop folder where it does not.
//
// Linux: inotify sees only this host's writes on network and FUSE file systems (NFS,
// SMB/CIFS, 9p, FUSE and fuseblk, cluster file systems), which statfs's f_type names.
// Windows: a remote drive or a UNC path gets change notifications only where the file server
// sends them, so it counts as a share too.
#pragma once

#include <cstdint>
#include <string>

namespace fw {

enum TEventReach {
  erEveryHost,   // the folder watch hears every writer
  erThisHostOnly  // writes by other hosts raise no event here
};

struct TFolderKind {
  TEventReach events = erEveryHost;
  std::string fileSystem;  // "ext4", "nfs", "fuse", "remote drive", "UNC path", "type 0x…"
  std::string place;       // for the log: "a fuse file system", "a remote drive"
};

// The answers for a Linux statfs f_type and for a Windows path and its GetDriveTypeW result;
// pure, so that both are tested on every build. An f_type not known here is "type 0x…" and
// counts as local.
TFolderKind FolderKindOfFsType(uint64_t fsType);
TFolderKind FolderKindOfWindowsPath(const std::string& path, unsigned driveType);

// The kind of the file system that holds `folder`; false with `error` (the system's text)
// when the system cannot tell, e.g. the folder does not exist. Any thread.
bool GetFolderKind(const std::string& folder, TFolderKind& kind, std::string& error);

}  // namespace fw

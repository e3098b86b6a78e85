// What the tests set and read of a file's attributes: on POSIX its
// permission bits, group and access control list; on Windows nothing, for
// the system there gives a report its folder's.
#pragma once

#include <string>

struct FileAttributes {
  unsigned mode = 0;
  long group = 0;
  std::string acl;
  bool operator==(const FileAttributes& o) const {
    return mode == o.mode && group == o.group && acl == o.acl;
  }
};

FileAttributes attributes_of(const std::string& path);

// A private report: mode 0600, a group other than the runner's where root
// may give one, and an ACL that lets one more user read it.
void make_private(const std::string& path);

// A folder whose default ACL makes new files readable by the owner and one
// more user only, whatever the umask; and what a new file there has.
void give_default_acl(const std::string& folder);
FileAttributes under_default_acl();

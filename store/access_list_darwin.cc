#include <membership.h>
#include <sys/acl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "store/access_list.h"
#include "store/file_system_error.h"
#include "store/trusted_group.h"

// Extended access-control lists: allow and deny entries whose qualifiers
// are the UUIDs of users and groups. Deny entries, which the system puts on
// its own folders, take nothing away from root.

namespace ampervale {

namespace {

// What lets someone replace what a directory holds, or a file's data (the
// same bits), or give themselves any of it.
constexpr acl_perm_t kChangingPermissions[] = {
    ACL_ADD_FILE,       ACL_ADD_SUBDIRECTORY, ACL_DELETE_CHILD,
    ACL_WRITE_SECURITY, ACL_CHANGE_OWNER,     ACL_DELETE,
};

struct AclFree {
  void operator()(void* object) const { acl_free(object); }
};

// Whether `entry` allows a change; kUnknown when it is neither an allow
// nor a deny entry, or cannot be read.
enum class Grant { kNone, kChange, kUnknown };
Grant GrantOf(acl_entry_t entry) {
  acl_tag_t tag{};
  acl_permset_t permissions{};
  if (acl_get_tag_type(entry, &tag) != 0 ||
      acl_get_permset(entry, &permissions) != 0 ||
      (tag != ACL_EXTENDED_ALLOW && tag != ACL_EXTENDED_DENY)) {
    return Grant::kUnknown;
  }
  if (tag == ACL_EXTENDED_DENY) return Grant::kNone;
  for (acl_perm_t permission : kChangingPermissions) {
    if (acl_get_perm_np(permissions, permission) == 1) return Grant::kChange;
  }
  return Grant::kNone;
}

// The grantee unless it is root, the effective user or a trusted group.
std::string Untrusted(acl_entry_t entry) {
  const std::unique_ptr<void, AclFree> qualifier(acl_get_qualifier(entry));
  id_t id = 0;
  int type = 0;
  if (qualifier == nullptr ||
      mbr_uuid_to_id(static_cast<const guid_t*>(qualifier.get())->g_guid, &id,
                     &type) != 0) {
    return "an unknown member";
  }
  if (type == ID_TYPE_UID && id != 0 && id != geteuid()) {
    return "user " + std::to_string(id);
  }
  if (type == ID_TYPE_GID && !IsTrustedGroup(id)) {
    return "group " + std::to_string(id);
  }
  return "";
}

// What `list` (null with errno set when there is none or it could not be
// read) lets others do.
std::string Judge(acl_t list, const std::filesystem::path& path) {
  const std::unique_ptr<struct _acl, AclFree> owned(list);
  if (list == nullptr && errno == ENOENT) return "";  // no list at all
  if (list == nullptr) {
    throw FileSystemError(errno, "Cannot read the access-control list of",
                          path);
  }
  acl_entry_t entry{};
  for (int which = ACL_FIRST_ENTRY; acl_get_entry(list, which, &entry) == 0;
       which = ACL_NEXT_ENTRY) {
    const Grant grant = GrantOf(entry);
    if (grant == Grant::kUnknown) return kUnknownAccessList;
    const std::string grantee = grant == Grant::kChange ? Untrusted(entry) : "";
    if (!grantee.empty()) {
      return "is open to " + grantee + " through its access-control list";
    }
  }
  return "";
}

}  // namespace

std::string AccessListReason(int descriptor,
                             const std::filesystem::path& path) {
  return Judge(acl_get_fd_np(descriptor, ACL_TYPE_EXTENDED), path);
}

std::string AccessListReason(const std::filesystem::path& path) {
  return Judge(acl_get_link_np(path.c_str(), ACL_TYPE_EXTENDED), path);
}

}  // namespace ampervale

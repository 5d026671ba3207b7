// Runs a program under the seccomp side of the service unit's confinement,
// built the way systemd builds it, so that a test without systemd can show
// that the player survives it:
//   confine [--allow FILE] [--families unix,inet,...] [--deny-write-execute]
//           [--no-namespaces] [--lock-personality] -- PROGRAM [ARG...]
// --allow: system calls allowed, one name a line; every other one fails with
//   EPERM (SystemCallFilter= with SystemCallErrorNumber=EPERM).
// --families: the only socket address families (RestrictAddressFamilies=).
// --deny-write-execute: MemoryDenyWriteExecute=yes.
// --no-namespaces: RestrictNamespaces=yes.
// --lock-personality: LockPersonality=yes.
// Loading a filter unprivileged needs no_new_privs (setpriv --no-new-privs).
#include <errno.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "confine: %s\n", what.c_str());
  exit(125);
}

void add(scmp_filter_ctx ctx, uint32_t action, const char* name, std::vector<scmp_arg_cmp> cmp = {}) {
  int nr = seccomp_syscall_resolve_name(name);
  if (nr == __NR_SCMP_ERROR) return;  // not on this architecture
  int r = seccomp_rule_add_array(ctx, action, nr, static_cast<unsigned>(cmp.size()), cmp.data());
  if (r < 0) fail(std::string("rule for ") + name + ": " + strerror(-r));
}

void load(scmp_filter_ctx ctx) {
  int r = seccomp_load(ctx);
  seccomp_release(ctx);
  if (r < 0) fail(std::string("cannot load the filter: ") + strerror(-r));
}

}  // namespace

int main(int argc, char** argv) {
  std::string allow_file, families;
  bool deny_write_execute = false, no_namespaces = false, lock_personality = false;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    std::string a = argv[i];
    if (a == "--allow" && i + 1 < argc) {
      allow_file = argv[++i];
    } else if (a == "--families" && i + 1 < argc) {
      families = argv[++i];
    } else if (a == "--deny-write-execute") {
      deny_write_execute = true;
    } else if (a == "--no-namespaces") {
      no_namespaces = true;
    } else if (a == "--lock-personality") {
      lock_personality = true;
    } else {
      fail("unknown option " + a);
    }
  }
  if (i + 1 >= argc) fail("no program given");
  char** program = argv + i + 1;

  // Argument rules first, in a filter that allows everything else: the
  // kernel applies every filter loaded and the strictest answer wins.
  scmp_filter_ctx rules = seccomp_init(SCMP_ACT_ALLOW);
  if (!rules) fail("seccomp_init");
  if (!families.empty()) {
    static const std::map<std::string, int> known = {
        {"unix", AF_UNIX}, {"inet", AF_INET}, {"inet6", AF_INET6}, {"netlink", AF_NETLINK}, {"packet", AF_PACKET}};
    std::set<int> allowed;
    std::stringstream list(families);
    for (std::string f; std::getline(list, f, ',');) {
      auto it = known.find(f);
      if (it == known.end()) fail("unknown family " + f);
      allowed.insert(it->second);
    }
    for (int f = 0; f < AF_MAX; ++f)
      if (!allowed.count(f)) add(rules, SCMP_ACT_ERRNO(EAFNOSUPPORT), "socket", {SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(f))});
    add(rules, SCMP_ACT_ERRNO(EAFNOSUPPORT), "socket", {SCMP_A0(SCMP_CMP_GE, AF_MAX)});
  }
  if (deny_write_execute) {
    const uint32_t eperm = SCMP_ACT_ERRNO(EPERM);
    add(rules, eperm, "mmap", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC | PROT_WRITE, PROT_EXEC | PROT_WRITE)});
    add(rules, eperm, "mmap2", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC | PROT_WRITE, PROT_EXEC | PROT_WRITE)});
    add(rules, eperm, "mprotect", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)});
    add(rules, eperm, "pkey_mprotect", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)});
    add(rules, eperm, "shmat", {SCMP_A2(SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC)});
  }
  if (no_namespaces) {
    const uint32_t eperm = SCMP_ACT_ERRNO(EPERM);
    for (unsigned long flag : {CLONE_NEWNS, CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC, CLONE_NEWUSER,
                               CLONE_NEWPID, CLONE_NEWNET}) {
      add(rules, eperm, "unshare", {SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)});
      add(rules, eperm, "clone", {SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)});
    }
    add(rules, eperm, "setns");
    // Its flags are out of a filter's reach; the C library falls back to clone.
    add(rules, SCMP_ACT_ERRNO(ENOSYS), "clone3");
  }
  if (lock_personality) {
    // Only the personality in force may be set again.
    unsigned long current = static_cast<unsigned long>(personality(0xffffffff));
    add(rules, SCMP_ACT_ERRNO(EPERM), "personality", {SCMP_A0(SCMP_CMP_NE, current)});
  }
  load(rules);

  if (!allow_file.empty()) {
    std::ifstream in(allow_file);
    if (!in) fail("cannot read " + allow_file);
    scmp_filter_ctx allow = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!allow) fail("seccomp_init");
    for (std::string name; std::getline(in, name);)
      if (!name.empty()) add(allow, SCMP_ACT_ALLOW, name.c_str());
    add(allow, SCMP_ACT_ALLOW, "execve");  // to reach the program at all
    load(allow);
  }

  execvp(program[0], program);
  fail(std::string("cannot run ") + program[0] + ": " + strerror(errno));
}

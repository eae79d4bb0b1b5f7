#include "mem_fs.h"

#include <algorithm>
#include <set>

namespace olktest {

using olk::IoStatus;

namespace {

std::string ParentOf(const std::string& p) {
  const size_t cut = p.rfind('\\');
  return cut == std::string::npos ? std::string() : p.substr(0, cut);
}

std::string ChildPrefix(const std::string& p) { return p.empty() ? std::string() : p + "\\"; }

}  // namespace

class MemFsFile : public olk::File {
 public:
  MemFsFile(std::shared_ptr<Inode> inode, MemFs* fs, size_t number) : inode_(std::move(inode)), fs_(fs), number_(number) {}
  IoStatus ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
    const std::string& d = inode_->data;
    *got = offset >= d.size() ? 0 : std::min<size_t>(n, d.size() - offset);
    if (*got) std::copy_n(d.data() + offset, *got, static_cast<char*>(buf));
    return IoStatus::kOk;
  }
  IoStatus Write(const void* buf, size_t n) override {
    if (!fs_) return IoStatus::kAccessDenied;
    std::string bytes(static_cast<const char*>(buf), n);
    inode_->data += bytes;
    fs_->Log(DiskOp{DiskOp::kWrite, "", "", number_, std::move(bytes)});
    return IoStatus::kOk;
  }
  IoStatus Flush() override {
    if (fs_) {
      inode_->durable = inode_->data;
      fs_->Log(DiskOp{DiskOp::kFlush, "", "", number_, ""});
    }
    return IoStatus::kOk;
  }
  IoStatus Close() override { return IoStatus::kOk; }
  uint64_t Size() const override { return inode_->data.size(); }

 private:
  std::shared_ptr<Inode> inode_;
  MemFs* fs_;  // null for files opened to read
  size_t number_;
};

MemFs::MemFs(const Tree& tree) {
  nodes_[""].dir = true;
  for (const auto& kv : tree) {
    for (size_t cut = kv.first.find('\\'); cut != std::string::npos; cut = kv.first.find('\\', cut + 1))
      nodes_[kv.first.substr(0, cut)].dir = true;
    Node& n = nodes_[kv.first];
    if (kv.second == kDir) {
      n.dir = true;
    } else {
      n.inode = std::make_shared<Inode>();
      n.inode->data = n.inode->durable = kv.second;
    }
  }
}

MemFs MemFs::Clone() const {
  MemFs c;
  c.nodes_ = nodes_;
  std::map<const Inode*, std::shared_ptr<Inode>> copies;  // two names of one file stay one file
  for (auto& kv : c.nodes_) {
    if (!kv.second.inode) continue;
    std::shared_ptr<Inode>& copy = copies[kv.second.inode.get()];
    if (!copy) copy = std::make_shared<Inode>(*kv.second.inode);
    kv.second.inode = copy;
  }
  c.next_file_ = next_file_;
  c.ordered_volume = ordered_volume;
  return c;
}

Tree MemFs::ToTree() const {
  Tree t;
  for (const auto& kv : nodes_)
    if (!kv.first.empty()) t[kv.first] = kv.second.dir ? kDir : kv.second.inode->data;
  return t;
}

void MemFs::Log(DiskOp op) {
  if (record) record->push_back(std::move(op));
}

bool MemFs::ParentIsDir(const std::string& p) const {
  auto it = nodes_.find(ParentOf(p));
  return it != nodes_.end() && it->second.dir;
}

IoStatus MemFs::Stat(const std::string& p, olk::EntryInfo* info) {
  *info = olk::EntryInfo();
  auto it = nodes_.find(p);
  if (it == nodes_.end()) return IoStatus::kOk;
  info->type = it->second.dir ? olk::EntryType::kDirectory : olk::EntryType::kFile;
  if (!it->second.dir) info->size = it->second.inode->data.size();
  return IoStatus::kOk;
}

IoStatus MemFs::OpenRead(const std::string& p, std::unique_ptr<olk::File>* out) {
  if (p == fail_path) return fail_status;
  auto it = nodes_.find(p);
  if (it == nodes_.end()) return IoStatus::kNotFound;
  if (it->second.dir) return IoStatus::kIsDirectory;
  out->reset(new MemFsFile(it->second.inode, nullptr, 0));
  return IoStatus::kOk;
}

IoStatus MemFs::CreateNew(const std::string& p, std::unique_ptr<olk::File>* out) {
  if (p == fail_path) return fail_status;
  if (nodes_.count(p)) return IoStatus::kExists;
  if (!ParentIsDir(p)) return IoStatus::kNotFound;
  Node& n = nodes_[p];
  n.inode = std::make_shared<Inode>();
  const size_t number = next_file_++;
  Log(DiskOp{DiskOp::kCreate, p, "", number, ""});
  out->reset(new MemFsFile(n.inode, this, number));
  return IoStatus::kOk;
}

IoStatus MemFs::CheckNewName(const std::string& from, const std::string& to) const {
  if (from == fail_path || to == fail_path) return fail_status;
  auto it = nodes_.find(from);
  if (it == nodes_.end()) return IoStatus::kNotFound;
  if (it->second.dir) return IoStatus::kIsDirectory;
  if (nodes_.count(to)) return IoStatus::kExists;
  if (!ParentIsDir(to)) return IoStatus::kNotFound;
  return IoStatus::kOk;
}

IoStatus MemFs::Rename(const std::string& from, const std::string& to) {
  if (IoStatus s = CheckNewName(from, to); s != IoStatus::kOk) return s;
  auto it = nodes_.find(from);
  Node n = it->second;
  nodes_.erase(it);
  nodes_[to] = n;
  Log(DiskOp{DiskOp::kRename, from, to, 0, ""});
  return IoStatus::kOk;
}

IoStatus MemFs::LinkFile(const std::string& from, const std::string& to) {
  if (!makes_links) return IoStatus::kAccessDenied;
  if (IoStatus s = CheckNewName(from, to); s != IoStatus::kOk) return s;
  nodes_[to] = Node(nodes_.find(from)->second);
  Log(DiskOp{DiskOp::kLink, from, to, 0, ""});
  return IoStatus::kOk;
}

IoStatus MemFs::RemoveFile(const std::string& p) {
  if (p == fail_path) return fail_status;
  if (undeletable.count(p)) return IoStatus::kInUse;
  if (deferred_removals.count(p)) return nodes_.count(p) ? IoStatus::kOk : IoStatus::kNotFound;
  auto it = nodes_.find(p);
  if (it == nodes_.end()) return IoStatus::kNotFound;
  if (it->second.dir) return IoStatus::kIsDirectory;
  nodes_.erase(it);
  Log(DiskOp{DiskOp::kRemoveFile, p, "", 0, ""});
  return IoStatus::kOk;
}

IoStatus MemFs::MakeDir(const std::string& p) {
  if (nodes_.count(p)) return IoStatus::kExists;
  if (!ParentIsDir(p)) return IoStatus::kNotFound;
  nodes_[p].dir = true;
  Log(DiskOp{DiskOp::kMakeDir, p, "", 0, ""});
  return IoStatus::kOk;
}

IoStatus MemFs::RemoveDir(const std::string& p) {
  if (p == fail_path) return fail_status;
  auto it = nodes_.find(p);
  if (it == nodes_.end()) return IoStatus::kNotFound;
  if (!it->second.dir) return IoStatus::kNotDirectory;
  auto child = nodes_.lower_bound(p + "\\");
  if (child != nodes_.end() && child->first.compare(0, p.size() + 1, p + "\\") == 0) return IoStatus::kNotEmpty;
  nodes_.erase(it);
  Log(DiskOp{DiskOp::kRemoveDir, p, "", 0, ""});
  return IoStatus::kOk;
}

IoStatus MemFs::List(const std::string& p, std::vector<olk::DirEntry>* out) {
  out->clear();
  auto self = nodes_.find(p);
  if (self == nodes_.end()) return IoStatus::kNotFound;
  if (!self->second.dir) return IoStatus::kNotDirectory;
  const std::string prefix = ChildPrefix(p);
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    if (it->first.size() == prefix.size()) continue;  // the root itself
    const std::string rest = it->first.substr(prefix.size());
    if (rest.find('\\') != std::string::npos) continue;
    olk::DirEntry d;
    d.name = rest;
    d.type = it->second.dir ? olk::EntryType::kDirectory : olk::EntryType::kFile;
    if (!it->second.dir) d.size = it->second.inode->data.size();
    out->push_back(d);
  }
  return IoStatus::kOk;
}

IoStatus MemFs::SyncDir(const std::string& p) {
  auto it = nodes_.find(p);
  if (it == nodes_.end()) return IoStatus::kNotFound;
  if (!it->second.dir) return IoStatus::kNotDirectory;
  Log(DiskOp{DiskOp::kSyncDir, p, "", 0, ""});
  return IoStatus::kOk;
}

bool MemFs::Replay(const DiskOp& op, std::vector<std::shared_ptr<Inode>>* files) {
  std::vector<DiskOp>* saved = record;
  record = nullptr;
  bool ok = true;
  switch (op.kind) {
    case DiskOp::kCreate: {
      if (files->size() <= op.file) files->resize(op.file + 1);
      std::unique_ptr<olk::File> f;
      ok = CreateNew(op.path, &f) == IoStatus::kOk;
      (*files)[op.file] = ok ? nodes_[op.path].inode : std::make_shared<Inode>();  // detached when lost
      break;
    }
    case DiskOp::kWrite:
    case DiskOp::kFlush: {
      if (files->size() <= op.file) files->resize(op.file + 1);
      auto& inode = (*files)[op.file];
      if (!inode) inode = std::make_shared<Inode>();
      if (op.kind == DiskOp::kWrite)
        inode->data += op.data;
      else
        inode->durable = inode->data;
      break;
    }
    case DiskOp::kRename: ok = Rename(op.path, op.path2) == IoStatus::kOk; break;
    case DiskOp::kLink: ok = LinkFile(op.path, op.path2) == IoStatus::kOk; break;
    case DiskOp::kRemoveFile: ok = RemoveFile(op.path) == IoStatus::kOk; break;
    case DiskOp::kMakeDir: ok = MakeDir(op.path) == IoStatus::kOk; break;
    case DiskOp::kRemoveDir: ok = RemoveDir(op.path) == IoStatus::kOk; break;
    case DiskOp::kSyncDir: break;
  }
  record = saved;
  return ok;
}

void MemFs::LoseUnflushedData(LostData how) {
  for (auto& kv : nodes_) {
    if (kv.second.dir) continue;
    Inode& n = *kv.second.inode;
    if (n.data == n.durable) continue;
    switch (how) {
      case LostData::kKept:
        break;
      case LostData::kCutBack:
        n.data = n.durable;
        break;
      case LostData::kZeroed: {
        // Appended data reads back as zeros; anything else is all zeros.
        const bool appended = n.data.compare(0, n.durable.size(), n.durable) == 0;
        const size_t keep = appended ? n.durable.size() : 0;
        std::fill(n.data.begin() + static_cast<std::ptrdiff_t>(keep), n.data.end(), '\0');
        break;
      }
    }
    n.durable = n.data;
  }
}

MemFs DiskAfterCut(const MemFs& before, const std::vector<DiskOp>& ops, size_t count, const std::vector<size_t>& lost,
                   LostData how) {
  MemFs disk = before.Clone();
  std::vector<std::shared_ptr<Inode>> files;
  size_t next_lost = 0;
  for (size_t i = 0; i < count; ++i) {
    while (next_lost < lost.size() && lost[next_lost] < i) ++next_lost;
    if (next_lost < lost.size() && lost[next_lost] == i && ops[i].IsMetadata()) continue;
    disk.Replay(ops[i], &files);
  }
  disk.LoseUnflushedData(how);
  return disk;
}

size_t LastSyncBefore(const std::vector<DiskOp>& ops, size_t count) {
  for (size_t i = count; i-- > 0;)
    if (ops[i].kind == DiskOp::kSyncDir) return i + 1;
  return 0;
}

}  // namespace olktest

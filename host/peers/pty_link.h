// The symbolic link through which tools reach a pseudo-terminal bridge. A link that another
// live quarvex process owns is refused, a stale link that a quarvex process left behind is
// replaced, and any other file, folder or link at the path is left alone. The folders made
// for a link go with it.
//
// Ownership is recorded in the folder for links, under .owners/: one record per link path
// with the owner's process id, the path and the terminal it points at. The owner holds a lock
// on its record while it lives, so a record whose lock is free was left by a dead process.
//
// Threads: one thread uses a PtyLink; different links may be made from any threads.
#pragma once

#include <string>
#include <vector>

namespace qvx {

class PtyLink
{
  public:
    PtyLink() = default;
    ~PtyLink() { Remove(); }
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // The folder for links named by a bare name: quarvex in $XDG_RUNTIME_DIR, else
    // /tmp/quarvex-<uid>; made (0700) when missing. FALSE with a message when it cannot be made
    // or another user could change it.
    static bool Folder(std::string* folder, std::string* error);
    // Where the link of a pty description's argument goes: as written when absolute, else in
    // the folder for links (named after the port when the argument is empty).
    static bool Resolve(const std::string& written, const std::string& port, std::string* path,
                        std::string* error);
    // Whether Make would succeed now; changes nothing but the folder for links.
    static bool Probe(const std::string& path, std::string* error);

    // Makes `path` a link to `target`, with the folders above it; FALSE with a message and
    // nothing changed when refused.
    bool Make(const std::string& path, const std::string& target, std::string* error);
    // Removes the link while it still points at our terminal, the folders Make created and
    // the record. Later calls do nothing.
    void Remove();

  private:
    std::string path_;
    std::string target_;
    std::string record_;
    int recordFd_ = -1;
    std::vector<std::string> made_; // folders made for the link, outermost first
};

} // namespace qvx

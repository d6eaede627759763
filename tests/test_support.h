// Helpers shared by the tests: temporary directories and running programs.
#pragma once

#include <string>
#include <vector>

// A private directory under $TMPDIR (or /tmp), removed with its contents at the end of the scope.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool WriteTextFile(const std::string& path, const std::string& content);
std::string ReadTextFile(const std::string& path);

// Runs a shell command; returns its exit status and puts its standard output in *out.
int RunCommand(const std::string& command, std::string* out);

// A stream socket connected to the Unix socket at path; -1 when nobody listens there.
int ConnectUnix(const std::string& path);

// While it lives, the process may open just one more descriptor (its limit lowered to 256 and the
// rest taken), as when a program runs out of them; the destructor gives everything back.
class DescriptorsUsedUp
{
public:
    DescriptorsUsedUp();
    ~DescriptorsUsedUp();
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;
    // Gives everything back before the end of the scope.
    void Release();

private:
    std::vector<int> taken_;
    unsigned long savedLimit_ = 0;
    bool lowered_ = false;
};

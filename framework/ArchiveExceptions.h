#pragma once

#include <stdexcept>
#include <string>

namespace vantor {

// The bytes of an archive are not what a stored object looks like.
class CArchiveException : public std::runtime_error {
public:
    enum class Cause {
        EndOfFile,  // the bytes ended inside an entry
        BadClass,   // a class name that no creatable class has, or of the wrong kind
        BadSchema,  // a schema number other than the class's
        BadIndex,   // a tag for a class index never defined, or for an object
    };

    CArchiveException(Cause cause, const std::string& what)
        : std::runtime_error(what), m_cause(cause) {}

    Cause cause() const { return m_cause; }

private:
    Cause m_cause;
};

// A file could not be opened, read or written; errorNumber is the errno of the failure.
class CFileException : public std::runtime_error {
public:
    CFileException(int errorNumber, const std::string& path, const std::string& what)
        : std::runtime_error(what), m_errorNumber(errorNumber), m_path(path) {}

    int errorNumber() const { return m_errorNumber; }
    const std::string& path() const { return m_path; }

private:
    int m_errorNumber;
    std::string m_path;
};

}  // namespace vantor

// Whole postcard files: a save through AtomicWriteFile, a load
// through a buffered reader, with the error texts every file format reports.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "base/file_io.hpp"
#include "model/gate.hpp"
#include "base/postcard.hpp"

namespace tsl {

// A failed save or load, carrying the full text the caller reports: an
// operating-system failure (creating or opening the file) or a failure of
// the data (encoding or decoding).
class FileError : public std::runtime_error {
public:
    enum Kind { Os, Data };
    FileError(Kind k, const std::string& msg) : std::runtime_error(msg), kind(k) {}
    Kind kind;
};

// Opens the file `path` names for a save (FileError Os "Failed to create
// file: {}" when it cannot be).
inline std::unique_ptr<AtomicWriteFile> open_save(const std::string& path) {
    try {
        return std::make_unique<AtomicWriteFile>(path);
    } catch (const OsError& e) {
        throw FileError(FileError::Os, std::string("Failed to create file: ") + e.what());
    }
}

// Puts a finished save in place (FileError Os "Failed to create file: {}"
// when it cannot be); false when it could not be made durable, a failed
// write.
inline bool commit_save(AtomicWriteFile& file) {
    try {
        return file.commit();
    } catch (const OsError& e) {
        throw FileError(FileError::Os, std::string("Failed to create file: ") + e.what());
    }
}

// Runs encode(PostcardWriter&) into the file `path` names, through
// AtomicWriteFile: a regular file is replaced only once everything, the
// final flush and the sync of the data included, succeeded.  Throws
// FileError: Os "Failed to create file: {}", Data "Failed to write postcard
// data: {}".
template <class Encode>
void save_postcard_file(const std::string& path, Encode&& encode) {
    const std::unique_ptr<AtomicWriteFile> file = open_save(path);
    try {
        auto writer = std::make_unique<PostcardWriter>(*file);
        encode(*writer);
        writer->flush();
        if (!file->finish() || !commit_save(*file)) throw PostcardError(PostcardError::WriteFull);
    } catch (const PostcardError& e) {
        throw FileError(FileError::Data, std::string("Failed to write postcard data: ") + e.what());
    } catch (const AmbiguousGateName& e) {
        throw FileError(FileError::Data, std::string("Failed to write postcard data: ") + e.what());
    }
}

// Runs decode(PostcardReader&) on the file at `path`; bytes after the value
// are ignored.  Throws FileError: Os "Failed to open file: {}", Data "Failed
// to read postcard data: {}".
template <class Decode>
auto load_postcard_file(const std::string& path, Decode&& decode) {
    std::unique_ptr<ReadFile> file;
    try {
        file = std::make_unique<ReadFile>(path);
    } catch (const OsError& e) {
        throw FileError(FileError::Os, std::string("Failed to open file: ") + e.what());
    }
    auto reader = std::make_unique<PostcardReader>(*file);
    try {
        return decode(*reader);
    } catch (const PostcardError& e) {
        throw FileError(FileError::Data, std::string("Failed to read postcard data: ") + e.what());
    }
}

}  // namespace tsl

#pragma once

#include <stdexcept>
#include <string>

// A file to be hashed is missing or cannot be read; the message tells which.
class FileDoesNotExistException : public std::runtime_error
{
public:
    explicit FileDoesNotExistException(const std::string &message)
        : std::runtime_error(message)
    {
    }
};

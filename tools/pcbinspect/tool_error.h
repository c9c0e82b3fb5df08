// The one kind of error the tool reports to its user: a file (or an argument)
// and what is wrong with it. main prints it as one line and exits with 2.
#pragma once

#include <stdexcept>
#include <string>

namespace pcbinspect::tool {

class InputError : public std::runtime_error {
public:
    InputError(std::string subject, const std::string& problem)
        : std::runtime_error(subject + ": " + problem), subject_(std::move(subject)) {}
    const std::string& subject() const { return subject_; }

private:
    std::string subject_;
};

}  // namespace pcbinspect::tool

#pragma once

#include <filesystem>
#include <mutex>
#include <string>

// Outgoing e-mail, written as standard .eml files into a folder instead of being sent.
// Every message the backend "sends" (sign-up confirmation, password reset, invitations)
// goes through here; a mail program or a test can open the files.
class Outbox {
public:
    explicit Outbox(std::filesystem::path folder);

    struct Mail {
        std::string to;      // one address
        std::string subject; // UTF-8
        std::string text;    // plain-text body, UTF-8
        std::string html;    // optional HTML alternative, UTF-8
        std::string kind;    // short word for the file name: "confirm", "reset", "invite"…
    };

    // Writes the message atomically (a temporary file renamed into place) and returns
    // the path of the new file. Throws std::runtime_error when the folder is unwritable.
    std::filesystem::path write(const Mail &mail);

    const std::filesystem::path &folder() const { return m_folder; }

    static std::string fromAddress();

private:
    std::filesystem::path m_folder;
    std::mutex m_mutex;
};

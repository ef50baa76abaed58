#include "command_table.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "protocol.h"
#include "thread_safety.h"

namespace cli_internal {

namespace {

struct command_slot {
    uint32_t in_use;
    cli_command cmd;
};

annotated_mutex table_lock;
constinit std::array<command_slot, max_commands> commands GUARDED_BY(table_lock){};

// ASCII only, whatever locale the host has set: under a single-byte
// locale isalnum() accepts letters above 0x7f, which the server's side does
// not.
bool name_char_valid(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool command_name_valid(const char *name) {
    size_t len = std::strlen(name);
    if (len < cli_protocol::command_name_min || len > cli_protocol::command_name_max) return false;
    for (size_t i = 0; i < len; ++i)
        if (!name_char_valid(static_cast<unsigned char>(name[i]))) return false;
    return !cli_protocol::is_reserved_name(std::string_view(name, len));
}

// The host's name may fill its array without a terminator; the table is
// searched and checked with a copy that always has one.
std::array<char, CLI_CMD_NAME_LEN + 1> terminated_name(const cli_command &cmd) {
    std::array<char, CLI_CMD_NAME_LEN + 1> name{};
    std::memcpy(name.data(), cmd.name, CLI_CMD_NAME_LEN);
    return name;
}

command_slot *find_command(const char *name) REQUIRES(table_lock) {
    for (auto &slot : commands)
        if (slot.in_use != 0 && std::strncmp(slot.cmd.name, name, CLI_CMD_NAME_LEN) == 0)
            return &slot;
    return nullptr;
}

command_slot *find_free_command() REQUIRES(table_lock) {
    for (auto &slot : commands)
        if (slot.in_use == 0) return &slot;
    return nullptr;
}

} // namespace

bool lookup_command(const char *name, cli_command *out) {
    mutex_guard guard(table_lock);
    const command_slot *slot = find_command(name);
    if (slot == nullptr) return false;
    *out = slot->cmd;
    return true;
}

bool command_at(size_t i, cli_command *out) {
    mutex_guard guard(table_lock);
    if (i >= commands.size() || commands[i].in_use == 0) return false;
    *out = commands[i].cmd;
    return true;
}

void lock_command_table_for_fork() NO_THREAD_SAFETY_ANALYSIS {
    table_lock.lock();
}

void unlock_command_table_after_fork() NO_THREAD_SAFETY_ANALYSIS {
    table_lock.unlock();
}

} // namespace cli_internal

using namespace cli_internal;

extern "C" {

CLI_API int cli_register_command(const cli_command *cmd) {
    if (cmd == nullptr || cmd->handler == nullptr) return -1;
    auto name = terminated_name(*cmd);
    if (!command_name_valid(name.data())) return -1;
    mutex_guard guard(table_lock);
    if (find_command(name.data()) != nullptr) return -1;
    command_slot *slot = find_free_command();
    if (slot == nullptr) return -1;
    *slot = command_slot{};
    slot->in_use = 1;
    slot->cmd = *cmd;
    slot->cmd.name[CLI_CMD_NAME_LEN - 1] = '\0';
    slot->cmd.desc[CLI_CMD_DESC_LEN - 1] = '\0';
    return 0;
}

CLI_API void cli_unregister_command(const cli_command *cmd) {
    if (cmd == nullptr) return;
    auto name = terminated_name(*cmd);
    mutex_guard guard(table_lock);
    if (command_slot *slot = find_command(name.data())) *slot = command_slot{};
}

} // extern "C"

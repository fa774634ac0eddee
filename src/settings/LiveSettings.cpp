#include "settings/LiveSettings.h"

LiveSettingsStore LiveSettings;

std::string& LiveSettingsStore::Field(Text which) {
    return const_cast<std::string&>(static_cast<const LiveSettingsStore*>(this)->Field(which));
}

const std::string& LiveSettingsStore::Field(Text which) const {
    switch (which) {
        case Text::ftpip:
            return ftpip_;
        case Text::target:
            return target_;
        case Text::serverport:
            return serverport_;
        case Text::servaddr:
            return servaddr_;
        case Text::clientport:
            return clientport_;
        case Text::autoport:
            return autoport_;
        case Text::user:
            return user_;
        case Text::computername:
            return computername_;
        case Text::strangers:
            return strangers_;
        case Text::pass:
            break;
    }
    return pass_;
}

std::string LiveSettingsStore::Get(Text which) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Field(which);
}

void LiveSettingsStore::Set(Text which, const std::string& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    Field(which) = value;
}

void LiveSettingsStore::GetBuddy(std::string& address, std::string& port) const {
    std::lock_guard<std::mutex> guard(mutex_);
    address = servaddr_;
    port = clientport_;
}

void LiveSettingsStore::SetBuddy(const std::string& address, const std::string& port) {
    std::lock_guard<std::mutex> guard(mutex_);
    servaddr_ = address;
    clientport_ = port;
}

SettingsValues LiveSettingsStore::Snapshot() const {
    SettingsValues values;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        values.ftpip = ftpip_;
        values.target = target_;
        values.serverport = serverport_;
        values.servaddr = servaddr_;
        values.clientport = clientport_;
        values.autoport = autoport_;
        values.user = user_;
        values.pass = pass_;
        values.computername = computername_;
        values.strangers = strangers_;
    }
    values.useftp = useftp;
    values.auto_ = auto_;
    values.manual = manual;
    values.server = server;
    values.advertisesecure = advertisesecure;
    return values;
}

void LiveSettingsStore::Assign(const SettingsValues& values) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ftpip_ = values.ftpip;
        target_ = values.target;
        serverport_ = values.serverport;
        servaddr_ = values.servaddr;
        clientport_ = values.clientport;
        autoport_ = values.autoport;
        user_ = values.user;
        pass_ = values.pass;
        computername_ = values.computername;
        strangers_ = values.strangers;
    }
    useftp = values.useftp;
    auto_ = values.auto_;
    manual = values.manual;
    server = values.server;
    advertisesecure = values.advertisesecure;
}

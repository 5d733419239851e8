#pragma once

#include <string>

class Db;

// The demo account of --demo: a saved form and employee list, about 300 visitors over the
// last four weeks (a few on site now) and invites waiting, used and expired.
struct DemoAccount {
    std::string email;
    std::string password;
};

// Creates the account, or on a later start resets its password and replaces the sample
// visitors and invites with fresh ones dated from today. The form, employees and anything
// made through the app are kept.
DemoAccount seedDemo(Db &db);

// Rewriting of envelope recipients to their "+spam" form.
#pragma once

#include <string>
#include <vector>

// Trims every recipient and puts "+spam" before the last "@" of each address whose local part
// does not already hold it (inside the closing quote of a quoted local part that holds an "@");
// brackets are kept, the number and order of recipients unchanged.
void rewrite_recipients(std::vector<std::string>& recipients);

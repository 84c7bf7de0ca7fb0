// The console number reader used at both prompts.
#include "core/core.h"

#include <cctype>
#include <cstdio>

int fncreadconsolenumber(int32_t *pnvalue) {
    int c = getchar();
    while (c != EOF && isspace(c))
        c = getchar();
    bool bnegative = false;
    if (c == '+' || c == '-') {
        bnegative = c == '-';
        c = getchar();
    }
    if (c == EOF || !isdigit(c)) {
        // Like "%d", a character that ends a failed conversion stays unread.
        if (c != EOF)
            ungetc(c, stdin);
        return 0;
    }
    // Accumulate the magnitude with room for INT32_MIN; a number that does
    // not fit is refused, never wrapped onto another index.
    int64_t nmagnitude = 0;
    bool boverflow = false;
    while (c != EOF && isdigit(c)) {
        if (!boverflow) {
            nmagnitude = nmagnitude * 10 + (c - '0');
            if (nmagnitude > static_cast<int64_t>(INT32_MAX) + 1)
                boverflow = true;
        }
        c = getchar();
    }
    if (c != EOF)
        ungetc(c, stdin);
    int64_t nvalue = bnegative ? -nmagnitude : nmagnitude;
    if (boverflow || nvalue > INT32_MAX || nvalue < INT32_MIN)
        return 0;
    *pnvalue = static_cast<int32_t>(nvalue);
    return 1;
}

#include "client/window/CommandTarget.h"

int QueryCommandThrough(CCommandTarget *const *chain, int count, UINT id, CommandState *state)
{
    for (int i = 0; i < count; i++) {
        if (chain[i] == NULL)
            continue;
        CommandState s = {0, 0};
        if (chain[i]->QueryCommand(id, &s)) {
            *state = s;
            return 1;
        }
    }
    state->Enabled = 0;
    state->Checked = 0;
    return 0;
}

int RouteCommandThrough(CCommandTarget *const *chain, int count, UINT id)
{
    for (int i = 0; i < count; i++) {
        if (chain[i] == NULL)
            continue;
        CommandState s = {0, 0};
        if (!chain[i]->QueryCommand(id, &s))
            continue;
        // The first target that knows the command owns it: a disabled command
        // is dropped here, not passed on to a later target.
        if (!s.Enabled)
            return 0;
        chain[i]->RunCommand(id);
        return 1;
    }
    return 0;
}

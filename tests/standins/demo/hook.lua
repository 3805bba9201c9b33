-- The demo's policy. message_hook decides per message by returning "pass"
-- or "block":
-- * the host blocked.example is blocked (a CONNECT to it is led nowhere);
-- * sites that Tagger puts among adult content, gambling or infection
--   sources are blocked with the page that names the category;
-- * a body (an upload, a download) in which Vetter finds a threat is
--   blocked with the page that names the threat; Vetter's stand-in finds
--   one wherever the text ORVEX-TEST-MARKER occurs;
-- * for a proxy user, the groups SeekD knows are logged.
-- Everything else passes. When Tagger or Vetter cannot be reached, the
-- check fails and the message passes, since block_unchecked is not set.
local orvex = require('orvex')
local lookup = require('orvex.lookup')

function message_hook(transaction)
    local request = transaction.request
    local host = request.value("Host")
    if host == "blocked.example" or host == "blocked.example:443" then
        return "block"
    end
    if request.url.in_categories({"adult_content", "gambling", "infection_source"}) then
        return "block"
    end
    if transaction.body.has_threat() then
        return "block"
    end
    local user = transaction.icap.user.user
    if user then
        local found, groups = pcall(lookup.lookup, "ldap@groups", {user = user})
        if found then
            orvex.info(user .. " is in the groups: " .. table.concat(groups, " "))
        end
    end
    return "pass"
end

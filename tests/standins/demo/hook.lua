-- The demo's policy. message_hook decides per message by returning "pass"
-- or "block": every message passes except those for the host
-- blocked.example, which get the block page (a CONNECT to it is led
-- nowhere).
function message_hook(transaction)
    local host = transaction.request.value("Host")
    if host == "blocked.example" or host == "blocked.example:443" then
        return "block"
    end
    return "pass"
end

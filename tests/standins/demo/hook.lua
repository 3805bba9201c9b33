-- The demo's policy: every message passes. A hook decides per message by
-- returning "pass" or "block".
function message_hook(transaction)
    return "pass"
end

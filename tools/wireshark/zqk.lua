-- A Wireshark/tshark dissector for the channel protocol of the zq.keeper
-- data buffers, as zqkAPI speaks it.
--
--   tshark -X lua_script:zqk.lua -r trace.pcapng
--
-- Each 64-byte HID report is one channel packet: byte 0 the channel (0..31),
-- byte 1 a tag, byte 2 the data length (0..61), then the data and zero fill.
-- Channel 0 carries the device's terminal; the dissector follows it across
-- reports, one text stream each way, and names what the conversation does:
-- the escape byte, the prompts (framed by 0xAB and 0xBB) and the password
-- prompt, the command lines sent (the NF file commands, LOAD) and the lines
-- that answer them, and a transfer's file, size and progress, whose raw bytes
-- follow the command on the same channel.
--
-- It decodes the library's own traces (pcapng, link type USER0, as
-- zqkDevSetTrace and zqk --trace write them) without any setting, and USB
-- captures of real hardware (usbmon on Linux, USBPcap on Windows): through
-- the usb.product table for the device's vendor and product IDs, and as a
-- heuristic on interrupt transfers for captures that began after the device
-- was enumerated and so lack the descriptor that names its IDs.

local zqk = Proto("zqk", "zq.keeper channel protocol")

local VENDOR_ID, PRODUCT_IDS = 0x16D0, { 0x064E }
local REPORT_SIZE, HEADER_SIZE, MAX_DATA, CHANNELS = 64, 3, 61, 32
local ESCAPE, CR, LF, PROMPT_OPEN, PROMPT_CLOSE = 0x1B, 0x0D, 0x0A, 0xAB, 0xBB
local BLOCK_SIZE = 4096
local TO_DEVICE, FROM_DEVICE = 0, 1

local directions = { [TO_DEVICE] = "to device", [FROM_DEVICE] = "from device" }

-- The fields, zqk.NAME each, declared a type at a time.
local f = {}
local function declare(maker, labels, ...)
    for name, label in pairs(labels) do
        f[name] = maker("zqk." .. name, label, ...)
    end
end
declare(ProtoField.uint8, { direction = "Direction" }, base.DEC, directions)
declare(ProtoField.uint8, { channel = "Channel", length = "Length" }, base.DEC)
declare(ProtoField.uint8, { tag = "Tag" }, base.HEX)
declare(ProtoField.bytes, { data = "Data" })
declare(ProtoField.string, { text = "Terminal text", command = "Command", operation = "Operation", answer = "Answer",
                             prompt = "Prompt", file = "File", ended = "Transfer ended", event = "Event" })
declare(ProtoField.bool, { escape = "Escape", password = "Password prompt", block_done = "Block done" })
declare(ProtoField.int32, { code = "Answer code" }, base.DEC)
declare(ProtoField.uint32, { size = "File size", progress = "Bytes moved", block = "Block", blocks = "Blocks" },
        base.DEC)
zqk.fields = {}
for _, field in pairs(f) do
    table.insert(zqk.fields, field)
end

local e_bad_length = ProtoExpert.new("zqk.length.bad", "Length beyond the report's 61 data bytes",
                                     expert.group.MALFORMED, expert.severity.WARN)
local e_ended_early = ProtoExpert.new("zqk.ended.early", "Transfer did not complete",
                                      expert.group.SEQUENCE, expert.severity.WARN)
zqk.experts = { e_bad_length, e_ended_early }

local packet_direction = Field.new("frame.packet_flags_direction")
local frame_comment = Field.new("frame.comment")
local usb_direction = Field.new("usb.endpoint_address.direction")
local usb_bus = Field.new("usb.bus_id")
local usb_address = Field.new("usb.device_address")
local usb_vendor = Field.new("usb.idVendor")
local usb_product = Field.new("usb.idProduct")

---------------------------------------------------------------------------
-- Text: terminal bytes as readable text. The prompt's framing bytes are
-- the Windows-1252 guillemets; other control bytes are shown by name.

local byte_names = { [ESCAPE] = "<ESC>", [CR] = "\\r", [LF] = "\\n", [0x09] = "\\t",
                     [PROMPT_OPEN] = "\194\171", [PROMPT_CLOSE] = "\194\187" }

local function readable(bytes)
    return (bytes:gsub("[^\32-\126]", function(c)
        return byte_names[c:byte()] or string.format("\\x%02x", c:byte())
    end))
end

local function unquoted(name)
    name = name:gsub("^@", "")
    return name:match('^"(.*)"$') or name
end

---------------------------------------------------------------------------
-- The conversation of one device: what each direction's text stream holds,
-- the last command and the transfer under way. Kept per capture (init) and
-- per device (its bus and address, or the trace), and built once, on the
-- first pass: what a frame showed is kept by frame number, so that later
-- passes and random access in the GUI show the same.

local conversations, decoded, device_ids = {}, {}, {}

function zqk.init()
    conversations, decoded, device_ids = {}, {}, {}
end

local function new_conversation()
    return { streams = { [TO_DEVICE] = { line = {} }, [FROM_DEVICE] = { line = {} } } }
end

local function conversation_of(key)
    conversations[key] = conversations[key] or new_conversation()
    return conversations[key]
end

-- What one report shows: a list of {field, value} and a summary for the
-- Info column.
local function new_view()
    return { items = {}, summary = {} }
end

local function show(view, field, value)
    table.insert(view.items, { field, value })
end

local function say(view, text)
    table.insert(view.summary, text)
end

---------------------------------------------------------------------------
-- Transfers: the raw bytes of a file follow its command on channel 0, in
-- blocks of 4096, to the device after its "Send file" line (NFWRITE, LOAD)
-- or from it after the header line that gives the size (NFTYPE).

local function show_transfer(view, transfer)
    show(view, f.file, transfer.file)
    show(view, f.size, transfer.size)
end

local function block_count(size)
    return math.ceil(size / BLOCK_SIZE)
end

local function start_transfer(conv, direction, view)
    local transfer = conv.pending
    conv.pending = nil
    show_transfer(view, transfer)
    if transfer.size > 0 then
        transfer.moved = 0
        conv.streams[direction].transfer = transfer
    end
end

local function end_transfer(conv, direction, view, how)
    local stream = conv.streams[direction]
    local transfer = stream.transfer
    if not transfer then
        return
    end
    stream.transfer = nil
    show_transfer(view, transfer)
    show(view, f.progress, transfer.moved)
    show(view, f.ended, how)
    say(view, string.format("%s %s at %d of %d bytes", transfer.file, how, transfer.moved, transfer.size))
    view.ended_early = how ~= "complete"
end

-- Takes the transfer's bytes from the front of Bytes; what follows its end
-- is the terminal's again.
local function take_transfer_bytes(conv, direction, bytes, view)
    local transfer = conv.streams[direction].transfer
    local count = math.min(#bytes, transfer.size - transfer.moved)
    transfer.moved = transfer.moved + count
    show_transfer(view, transfer)
    show(view, f.progress, transfer.moved)
    show(view, f.block, math.ceil(transfer.moved / BLOCK_SIZE))
    show(view, f.blocks, block_count(transfer.size))
    say(view, string.format("%s %d of %d bytes, block %d of %d", transfer.file, transfer.moved, transfer.size,
                            math.ceil(transfer.moved / BLOCK_SIZE), block_count(transfer.size)))
    if transfer.moved % BLOCK_SIZE == 0 or transfer.moved == transfer.size then
        show(view, f.block_done, true)
    end
    if transfer.moved == transfer.size then
        conv.streams[direction].transfer = nil
        show(view, f.ended, "complete")
        say(view, "complete")
    end
    return bytes:sub(count + 1)
end

---------------------------------------------------------------------------
-- Commands the host sends, one line each, ended by CR. The file functions
-- send the escape byte first.

local command_parsers = {
    NFWRITE = function(rest)
        local name, size = rest:match("^(.-)\t(%d+)\t")
        return name and { file = unquoted(name), size = tonumber(size), sends = TO_DEVICE }
    end,
    LOAD = function(rest)
        local size, name = rest:match("^(%d+) (.*)$")
        return size and { file = name, size = tonumber(size), sends = TO_DEVICE }
    end,
    NFTYPE = function(rest)
        return { file = unquoted(rest), sends = FROM_DEVICE }
    end,
}

-- What the device's file commands do.
local operations = { NFDIR = "directory listing", NFTYPE = "file read", NFWRITE = "file write",
                     NFMKDIR = "directory made", NFWIPEDIR = "directory removed", NFDEL = "file deleted",
                     NFRENAME = "rename", LOAD = "firmware load" }

local function command_line(conv, line, view)
    local word, rest = line:match("^(%u+) ?(.*)$")
    show(view, f.command, readable(line))
    if operations[word] then
        show(view, f.operation, operations[word])
    end
    say(view, readable(line))
    local parse = word and command_parsers[word]
    conv.command = word
    conv.pending = parse and parse(rest) or nil
    if conv.pending then
        show(view, f.file, conv.pending.file)
        if conv.pending.size then
            show(view, f.size, conv.pending.size)
        end
    end
end

---------------------------------------------------------------------------
-- Lines the device prints, ended by CR LF, and its prompts.

local function answer_line(conv, line, view)
    local code = line:match("^(%-?%d+):")
    local pending = conv.pending
    if line:find("Send file", 1, true) and pending and pending.sends == TO_DEVICE then
        start_transfer(conv, TO_DEVICE, view)
    elseif pending and pending.sends == FROM_DEVICE and line:find("\t") then
        -- NFTYPE's header: its second field is the size of the bytes that follow
        local size = tonumber(line:match("^[^\t]*\t([^\t]*)"))
        if not size then
            return false
        end
        pending.size = size
        start_transfer(conv, FROM_DEVICE, view)
    elseif code then
        show(view, f.code, tonumber(code))
    elseif not line:find("^Directory of") then
        return false
    end
    show(view, f.answer, readable(line))
    say(view, readable(line) .. (conv.command and " (" .. conv.command .. ")" or ""))
    return true
end

local function device_line(conv, line, view)
    if line == "" then
        return
    end
    show(view, f.text, readable(line))
    if not answer_line(conv, line, view) and #view.summary == 0 then
        say(view, readable(line))
    end
end

local function prompt_seen(conv, text, view)
    show(view, f.prompt, readable(text))
    say(view, "\194\171" .. readable(text) .. "\194\187")
    if text:upper():find("PASSWORD", 1, true) then
        show(view, f.password, true)
    end
    -- A prompt while the host sends means that the device ended the transfer.
    end_transfer(conv, TO_DEVICE, view, "ended early by the device")
end

---------------------------------------------------------------------------
-- Channel 0's bytes, one direction at a time.

local function flush_line(stream)
    local line = table.concat(stream.line)
    stream.line = {}
    return line
end

-- Each takes terminal bytes of its direction until a transfer starts, and
-- gives back those that follow its start.
local function host_bytes(conv, bytes, view)
    local stream = conv.streams[TO_DEVICE]
    -- The host speaking again means that a read from the device is over.
    end_transfer(conv, FROM_DEVICE, view, "cut short")
    for i = 1, #bytes do
        local b = bytes:byte(i)
        if b == ESCAPE then
            show(view, f.escape, true)
            say(view, "<ESC>")
        elseif b == CR then
            command_line(conv, flush_line(stream), view)
        elseif b ~= LF then
            table.insert(stream.line, string.char(b))
        end
    end
    return ""
end

local function device_bytes(conv, bytes, view)
    local stream = conv.streams[FROM_DEVICE]
    for i = 1, #bytes do
        local b = bytes:byte(i)
        if b == PROMPT_OPEN then
            device_line(conv, flush_line(stream), view)
            stream.in_prompt = true
        elseif b == PROMPT_CLOSE then
            stream.in_prompt = false
            prompt_seen(conv, flush_line(stream), view)
        elseif b == LF and not stream.in_prompt then
            device_line(conv, (flush_line(stream):gsub("\r$", "")), view)
            if stream.transfer then
                return bytes:sub(i + 1)
            end
        else
            table.insert(stream.line, string.char(b))
        end
    end
    return ""
end

-- Splits a report's data between a transfer under way and the terminal.
local function terminal_bytes(conv, direction, bytes, view)
    local talk = direction == TO_DEVICE and host_bytes or device_bytes
    while #bytes > 0 do
        if conv.streams[direction].transfer then
            bytes = take_transfer_bytes(conv, direction, bytes, view)
        else
            bytes = talk(conv, bytes, view)
        end
    end
end

---------------------------------------------------------------------------
-- Events of the library's traces: packets without data whose comment says
-- what happened to the link. A device opened starts a new conversation; a
-- device gone cuts a transfer under way short.

local function event(key, comment, view)
    show(view, f.event, comment)
    say(view, comment)
    if comment == "device opened" or comment == "trace started" then
        conversations[key] = new_conversation()
    elseif comment == "device gone" or comment == "device closed" then
        local conv = conversation_of(key)
        end_transfer(conv, TO_DEVICE, view, "cut short")
        end_transfer(conv, FROM_DEVICE, view, "cut short")
    end
end

---------------------------------------------------------------------------
-- The dissector.

local function value_of(extractor)
    local field = extractor()
    return field and field.value
end

-- The USB device of this frame: its bus and address.
local function usb_device()
    return string.format("usb %s.%s", tostring(value_of(usb_bus)), tostring(value_of(usb_address)))
end

-- The direction of this report, and the key of its device's conversation.
local function whereabouts()
    local usb_in = value_of(usb_direction)
    if usb_in ~= nil then
        return usb_in == 1 and FROM_DEVICE or TO_DEVICE, usb_device()
    end
    -- A trace of the library: epb_flags say inbound (1) or outbound (2).
    return value_of(packet_direction) == 1 and FROM_DEVICE or TO_DEVICE, "trace"
end

local function decode(tvb)
    local direction, key = whereabouts()
    local view = new_view()
    view.direction = direction
    view.own_trace = key == "trace"
    if tvb:len() < HEADER_SIZE then
        local comment = value_of(frame_comment)
        if comment then
            event(key, comment, view)
        end
        return view
    end
    view.channel = tvb(0, 1):uint()
    local length = tvb(2, 1):uint()
    view.bad_length = length > MAX_DATA
    view.length = math.min(length, MAX_DATA, tvb:len() - HEADER_SIZE)
    if view.channel == 0 and view.length > 0 then
        terminal_bytes(conversation_of(key), direction, tvb:raw(HEADER_SIZE, view.length), view)
    end
    return view
end

local function tree_of(view, tvb, tree)
    local root = tree:add(zqk, tvb())
    if view.channel then
        root:add(f.direction, view.direction):set_generated()
        root:add(f.channel, tvb(0, 1))
        root:add(f.tag, tvb(1, 1))
        local length_item = root:add(f.length, tvb(2, 1))
        if view.bad_length then
            length_item:add_proto_expert_info(e_bad_length)
        end
        if view.length > 0 then
            root:add(f.data, tvb(HEADER_SIZE, view.length))
        end
        root:append_text(string.format(", %s, channel %d, %d bytes", directions[view.direction], view.channel,
                                       view.length))
    end
    for _, item in ipairs(view.items) do
        local added = root:add(item[1], item[2])
        added:set_generated()
        if item[1] == f.ended and view.ended_early then
            added:add_proto_expert_info(e_ended_early)
        end
    end
end

function zqk.dissector(tvb, pinfo, tree)
    local view = decoded[pinfo.number]
    if not view then
        view = decode(tvb)
        decoded[pinfo.number] = view
    end
    pinfo.cols.protocol = "ZQK"
    if view.own_trace and view.channel then
        -- The library's trace has no addresses: name the two ends.
        pinfo.cols.src = view.direction == FROM_DEVICE and "device" or "host"
        pinfo.cols.dst = view.direction == FROM_DEVICE and "host" or "device"
    end
    local arrow = view.direction == FROM_DEVICE and "\226\134\144 " or "\226\134\146 "
    local summary = table.concat(view.summary, "; ")
    if view.channel then
        summary = string.format("ch %d len %d%s", view.channel, view.length, summary ~= "" and ": " .. summary or "")
        pinfo.cols.info = arrow .. summary
    else
        pinfo.cols.info = summary
    end
    tree_of(view, tvb, tree)
    return tvb:len()
end

---------------------------------------------------------------------------
-- Captures of real hardware. A report of this protocol has an unmistakable
-- shape: 64 bytes, a channel below 32, a length of at most 61 and zero fill
-- behind the data. The IDs come from the device descriptor seen at
-- enumeration, which a capture started later lacks: then the shape alone
-- decides, unless the descriptor named another device.

local function is_ours(vendor, product)
    if vendor ~= VENDOR_ID then
        return false
    end
    for _, id in ipairs(PRODUCT_IDS) do
        if product == id then
            return true
        end
    end
    return false
end

local function looks_like_report(tvb)
    if tvb:len() ~= REPORT_SIZE or tvb(0, 1):uint() >= CHANNELS then
        return false
    end
    local length = tvb(2, 1):uint()
    if length > MAX_DATA then
        return false
    end
    local fill = tvb:raw(HEADER_SIZE + length)
    return not fill:find("[^%z]")
end

local function heuristic(tvb, pinfo, tree)
    if not looks_like_report(tvb) then
        return false
    end
    local ids = device_ids[usb_device()]
    if ids and not is_ours(ids[1], ids[2]) then
        return false
    end
    zqk.dissector(tvb, pinfo, tree)
    return true
end

-- Notes the IDs of each device whose descriptor a capture shows.
local descriptors = Proto("zqk_ids", "zq.keeper device IDs")
function descriptors.dissector(tvb, pinfo, tree)
    local vendor, product = value_of(usb_vendor), value_of(usb_product)
    if vendor and product then
        device_ids[usb_device()] = { vendor, product }
    end
end
register_postdissector(descriptors)

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, zqk)
local products = DissectorTable.get("usb.product")
for _, id in ipairs(PRODUCT_IDS) do
    products:add(VENDOR_ID * 0x10000 + id, zqk)
end
zqk:register_heuristic("usb.interrupt", heuristic)

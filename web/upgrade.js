// The X3 upgrade form in the browser.
//
// flash_x3 finds the firmware in the first form part marked
// application/octet-stream and only sees the slot check boxes before it.
// A browser, though, labels an uploaded file with whatever type the
// operator's computer associates with its name: where ".s19" is mapped to
// some text type, a plain form post reaches flash_x3 without that marker
// and the upgrade fails with "malformed upload stream". So this script
// sends the form itself: the same fields, the slots first, and the file
// as application/octet-stream whatever the computer calls it. While the
// switch works it shows how many cards are being upgraded, the time
// elapsed and, as far as the switch reports it, how far each card is;
// flash_x3 answers only when the last card is done, and then its results
// page replaces this one.
//
// Before it sends a file it says what is wrong with one that is not
// S-records or that the cards would take without effect or with damage to
// their previous firmware; a second press sends it all the same.
//
// Without this script (JavaScript off, or a browser without fetch) the
// form posts as it is.
(function () {
  'use strict';

  if (!window.fetch || !window.FormData || !window.Blob || !Blob.prototype.slice) {
    return;
  }

  const FIRMWARE_TYPE = 'application/octet-stream';

  const form = document.querySelector('form[action="/cgi/flash_x3"]');
  const fileInput = document.getElementById('image');
  const selectAllRow = document.querySelector('.select-all');
  const selectAll = document.getElementById('select-all');
  const message = document.getElementById('form-message');
  const progress = document.getElementById('progress');
  const progressTitle = document.getElementById('progress-title');
  const progressDetail = document.getElementById('progress-detail');
  const progressElapsed = document.getElementById('progress-elapsed');
  const progressBusy = document.getElementById('progress-busy');
  const progressCards = document.getElementById('progress-cards');
  const progressLeft = document.getElementById('progress-left');
  if (!form || !fileInput || !message || !progress || !progressBusy || !progressCards || !progressLeft) {
    return;
  }
  const slots = Array.from(form.querySelectorAll('input[type="checkbox"][name^="slot"]'))
    .filter(function (box) { return !box.disabled; });
  const formTitle = document.title;

  // The browser's own check would stop a post without a file before this
  // script sees it, with a message of its own; this script's messages say
  // what the upgrade needs.
  form.noValidate = true;

  // --- select all ---------------------------------------------------------
  function updateSelectAll() {
    const ticked = slots.filter(function (box) { return box.checked; }).length;
    selectAll.checked = ticked === slots.length;
    selectAll.indeterminate = ticked > 0 && ticked < slots.length;
  }
  if (selectAll && selectAllRow) {
    selectAllRow.hidden = false;
    selectAll.addEventListener('change', function () {
      slots.forEach(function (box) { box.checked = selectAll.checked; });
      selectAll.indeterminate = false;
    });
    slots.forEach(function (box) { box.addEventListener('change', updateSelectAll); });
    updateSelectAll();
  }

  // --- messages -----------------------------------------------------------
  function say(text, kind) {
    message.textContent = text;
    message.className = 'message ' + kind;
    message.hidden = false;
  }
  function clearMessage() {
    message.hidden = true;
    message.textContent = '';
  }
  function complain(text, control) {
    say(text, 'error');
    if (control) {
      control.focus();
    }
  }

  // "Slot 4", "Slots 2 and 3", "Slots 1, 2 and 5".
  function slotList(numbers) {
    if (numbers.length === 1) {
      return 'Slot ' + numbers[0];
    }
    return 'Slots ' + numbers.slice(0, -1).join(', ') + ' and ' + numbers[numbers.length - 1];
  }
  function cards(n) {
    return n + (n === 1 ? ' card' : ' cards');
  }
  function minutesSeconds(ms) {
    const s = Math.floor(ms / 1000);
    return Math.floor(s / 60) + ':' + String(s % 60).padStart(2, '0');
  }

  // --- what the file holds -------------------------------------------------
  // The switch's web server takes request bodies up to 8 MiB.
  const MAX_UPLOAD_BYTES = 8 << 20;
  // Bank offsets: where the card writes the bank's generation byte, the
  // start of the sector that bank 0 shares with bank 1, and the bank's end.
  const GENERATION_OFFSET = 0x10000;
  const SHARED_SECTOR = 0x70000;
  const BANK_END = 0x80000;

  // The text of BLOB, or null where the browser cannot read it.
  function readText(blob) {
    return new Promise(function (resolve) {
      const reader = new FileReader();
      reader.onload = function () { resolve(String(reader.result)); };
      reader.onerror = function () { resolve(null); };
      reader.readAsText(blob, 'latin1');
    });
  }
  // An S-record line: "S", the record type digit, then hex digits.
  function looksLikeSrecords(line) {
    return /^S[0-9][0-9A-Fa-f]{2}/.test(line);
  }
  function hex(address) {
    return '0x' + address.toString(16).toUpperCase().padStart(5, '0');
  }

  // What the switch would load from the S-records TEXT: the data bytes of
  // its S3 records, the lowest and the highest address they fill, and
  // whether an S7 or S9 record ends the file. The switch reads whole lines
  // up to that record and none after it, and skips every other record; a
  // record it cannot read it reports itself, so such lines are passed over.
  function imageData(text) {
    const data = { bytes: 0, lowest: Infinity, highest: -1, ended: false };
    const lines = text.split('\n');
    // What follows the last line end is not a whole line.
    for (let i = 0; i < lines.length - 1 && !data.ended; i++) {
      const s3 = /^S3([0-9A-Fa-f]{2})([0-9A-Fa-f]{8})/.exec(lines[i]);
      const bytes = s3 ? parseInt(s3[1], 16) - 5 : 0;
      if (bytes > 0) {
        const address = parseInt(s3[2], 16);
        data.bytes += bytes;
        data.lowest = Math.min(data.lowest, address);
        data.highest = Math.max(data.highest, address + bytes - 1);
      }
      data.ended = /^S[79]/.test(lines[i]);
    }
    return data;
  }

  // What would go wrong on the cards with an image of DATA that the switch
  // loads, or null. Without an end record, or with data past the bank, the
  // switch refuses the file itself before it touches a card.
  function imageWarning(data) {
    if (!data.ended || data.highest >= BANK_END) {
      return null;
    }
    if (data.bytes === 0) {
      return 'holds no firmware data: every ticked card would be restarted with nothing ' +
        'written, and the page would still say the upgrade was successful.';
    }
    if (data.highest < GENERATION_OFFSET) {
      return 'has data only at ' + hex(data.lowest) + '-' + hex(data.highest) +
        ', nothing at ' + hex(GENERATION_OFFSET) + ' or above, where a card records which ' +
        'firmware to start: the cards would keep starting their previous firmware, and the ' +
        'page would still say the upgrade was successful.';
    }
    if (data.highest >= SHARED_SECTOR) {
      return 'has data at ' + hex(SHARED_SECTOR) + '-' + hex(BANK_END - 1) + ', flash that ' +
        'the card\'s two firmware banks share: writing it can erase the start of the ' +
        'previous firmware, the one the card falls back to.';
    }
    return null;
  }

  // Why FILE may not be the firmware, as the page says it after the file's
  // name, or null.
  async function fileWarning(file) {
    const start = await readText(file.slice(0, 512));
    const line = start === null ? null : start.split(/\r?\n/)[0];
    if (line === null || !looksLikeSrecords(line)) {
      const what = line === null ? 'cannot be read' :
        file.size === 0 ? 'is empty' :
        'does not look like S-records: it starts with "' + line.slice(0, 40) + '"';
      return what + '. Choose the firmware image in S-record format, ' +
        'or press Upgrade again to send this file anyway.';
    }
    // The web server refuses a larger file itself.
    if (file.size > MAX_UPLOAD_BYTES) {
      return null;
    }
    const text = await readText(file);
    const warning = text === null ? 'cannot be read.' : imageWarning(imageData(text));
    return warning && warning + ' Press Upgrade again to send this file anyway.';
  }
  // The file the operator was warned about; a second press sends it.
  let warnedAbout = null;
  function fileKey(file) {
    return [file.name, file.size, file.lastModified].join('/');
  }
  fileInput.addEventListener('change', function () {
    warnedAbout = null;
    clearMessage();
  });

  // --- how far the switch is ---------------------------------------------------
  // While flash_x3 works it keeps a progress file that x3_status hands out:
  // the ticked slots, the card in hand, its step and, in the long steps, the
  // sectors or rows done, with the switch's own seconds since the step and
  // since the run began. The page asks about once a second and draws a bar
  // per card. Until the switch reports this run (the file an earlier run
  // left does not count), and whenever no report comes for a while, the
  // moving bar stands in for the cards' bars.
  const PROGRESS_URL = '/cgi/x3_status?progress';
  const POLL_MS = 1000;
  const STALE_MS = 10000;
  // What the page calls each step, in their order, and the step's share of
  // a card's bar (roughly its share of the card's time).
  const STEPS = [
    ['grab_flash', 'taking the flash', 1],
    ['select_bank', 'choosing the bank', 1],
    ['erase_flash', 'erasing', 25],
    ['program_flash', 'programming', 45],
    ['verify_flash', 'verifying', 25],
    ['write_bootval', 'writing the generation byte', 1],
    ['reboot_card', 'restarting the card', 2]];
  const CARD_SHARE = STEPS.reduce(function (sum, step) { return sum + step[2]; }, 0);

  // The run being watched: its slots, the switch's name for it once seen,
  // where each card began on the run's clock, the bars, when a report last
  // came and the next poll.
  let watch = null;

  function showCards(shown) {
    progressBusy.hidden = shown;
    progressCards.hidden = !shown;
    progressLeft.hidden = !shown || !progressLeft.textContent;
  }

  // A line and a bar per slot, all waiting.
  function cardBars(slotNumbers) {
    progressCards.textContent = '';
    return slotNumbers.map(function (slot) {
      const item = document.createElement('li');
      const label = document.createElement('span');
      label.id = 'progress-slot' + slot;
      const bar = document.createElement('progress');
      bar.max = CARD_SHARE;
      bar.value = 0;
      bar.setAttribute('aria-labelledby', label.id);
      item.append(label, bar);
      progressCards.append(item);
      return { label: label, bar: bar };
    });
  }

  // This run's report in x3_status's ANSWER, or null. A run not seen
  // running is an earlier one when the report says it is finished.
  function thisRun(answer) {
    const report = answer && answer.progress;
    if (!report || !Array.isArray(report.slots) || report.slots.length !== watch.slots.length ||
        !report.slots.every(function (slot, k) { return slot === watch.slots[k]; })) {
      return null;
    }
    if (report.run !== watch.run) {
      if (report.finished) {
        return null;
      }
      watch.run = report.run;
      watch.cardStart = {};
    }
    return report;
  }

  function stepOf(report) {
    return STEPS.find(function (step) { return step[0] === report.step; });
  }
  // How much of its bar the card in hand has done.
  function cardDone(report) {
    const at = STEPS.indexOf(stepOf(report));
    if (at < 0) {
      return 0;
    }
    const before = STEPS.slice(0, at).reduce(function (sum, step) { return sum + step[2]; }, 0);
    const units = report.total > 0 ? Math.min(report.done / report.total, 1) : 0;
    return before + STEPS[at][2] * units;
  }
  function stepName(report) {
    const step = stepOf(report);
    return step ? step[1] : String(report.step).replace(/_/g, ' ');
  }
  // "programming, 1,204 of 2,048 rows"
  function stepText(report) {
    const name = stepName(report);
    if (!report.unit || !Number.isFinite(report.done) || !Number.isFinite(report.total)) {
      return name;
    }
    return name + ', ' + report.done.toLocaleString('en') + ' of ' + report.total.toLocaleString('en') +
      ' ' + report.unit;
  }

  // The time left by the rate so far, on the switch's clock: from the
  // second card on, the run's by the time the cards before took; where that
  // says nothing (the first card, or one slower than those before), the
  // long step's by its units. Null while there is no rate.
  function timeLeft(report) {
    const index = report.index;
    if (report.finished || !Number.isInteger(index)) {
      return null;
    }
    if (!(index in watch.cardStart)) {
      // Where the step it is in when first seen began: the card began
      // no later, and the steps before a long one are short.
      watch.cardStart[index] = report.run_seconds - report.step_seconds;
    }
    const start = watch.cardStart[index];
    const left = index > 0 ? start / index * (report.slots.length - index) - (report.run_seconds - start) : 0;
    if (left >= 1) {
      return 'Time left: about ' + minutesSeconds(left * 1000);
    }
    if (report.done > 0 && report.total > report.done && report.step_seconds > 0) {
      return 'Time left in this step: about ' +
        minutesSeconds((report.total - report.done) * report.step_seconds / report.done * 1000);
    }
    return null;
  }

  function drawCards(report) {
    const succeeded = report.finished && /^The upgrade was successful/.test(report.outcome || '');
    const index = Number.isInteger(report.index) ? report.index : -1;
    watch.bars.forEach(function (card, k) {
      let text = report.finished ? 'not re-flashed' : 'waiting';
      let done = 0;
      if (succeeded || k < index) {
        text = 'done';
        done = CARD_SHARE;
      } else if (k === index) {
        text = report.finished ? 'failed while ' + stepName(report) : stepText(report);
        done = cardDone(report);
      }
      card.label.textContent = 'Slot ' + watch.slots[k] + ': ' + text;
      card.bar.value = done;
      card.bar.setAttribute('aria-valuetext', text);
    });
    progressLeft.textContent = timeLeft(report) || '';
    showCards(true);
  }

  async function poll() {
    const watching = watch;
    let answer = null;
    try {
      const response = await fetch(PROGRESS_URL, { cache: 'no-store', credentials: 'same-origin' });
      answer = response.ok ? await response.json() : null;
    } catch (error) {
      answer = null;
    }
    if (watching !== watch) {
      return;
    }
    const report = thisRun(answer);
    if (report) {
      watch.heard = Date.now();
      drawCards(report);
    } else if (Date.now() - watch.heard > STALE_MS) {
      showCards(false);
    }
    if (!report || !report.finished) {
      watch.timer = setTimeout(poll, POLL_MS);
    }
  }

  function watchProgress(slotNumbers) {
    watch = { slots: slotNumbers, run: null, cardStart: {}, bars: cardBars(slotNumbers), heard: 0, timer: null };
    showCards(false);
    poll();
  }

  function stopWatching() {
    if (watch) {
      clearTimeout(watch.timer);
    }
    watch = null;
  }

  // --- the upgrade ------------------------------------------------------------
  let busy = false;
  let timer = null;
  let started = 0;

  function keepPageOpen(event) {
    event.preventDefault();
    event.returnValue = '';
  }

  function showProgress(ticked, file) {
    const n = ticked.length;
    const title = 'Upgrading ' + cards(n);
    const slotNumbers = ticked.map(function (box) { return Number(box.name.slice(4)); });
    progressTitle.textContent = title;
    progressDetail.textContent = slotList(slotNumbers) +
      ', firmware ' + file.name + ' (' + file.size.toLocaleString('en') + ' bytes).';
    started = Date.now();
    const tick = function () {
      const elapsed = minutesSeconds(Date.now() - started);
      progressElapsed.textContent = elapsed;
      document.title = elapsed + ' ' + title + ' - ' + formTitle;
    };
    tick();
    timer = setInterval(tick, 1000);
    watchProgress(slotNumbers);
    clearMessage();
    form.hidden = true;
    progress.hidden = false;
    progressTitle.focus();
    window.addEventListener('beforeunload', keepPageOpen);
  }

  // Stops the clock; the time it shows.
  function stopProgress() {
    clearInterval(timer);
    stopWatching();
    window.removeEventListener('beforeunload', keepPageOpen);
    return minutesSeconds(Date.now() - started);
  }

  // Back to the form, filled in as it was, with what went wrong.
  function giveUp(text) {
    document.title = formTitle;
    progress.hidden = true;
    form.hidden = false;
    busy = false;
    say(text, 'error');
    form.querySelector('button[type="submit"]').focus();
  }

  // The results page replaces this page, so its links and stylesheet work
  // as after a plain form post; reloading shows the empty form again
  // rather than sending the firmware a second time.
  function showResults(html) {
    stopProgress();
    document.open();
    document.write(html);
    document.close();
    if (!document.title) {
      document.title = 'Upgrade X3 Firmware: results - ' + formTitle.replace(/^.* - /, '');
    }
  }

  // The form's fields in its own order, except that every file goes last
  // and is typed application/octet-stream.
  function uploadBody() {
    const entries = Array.from(new FormData(form));
    const body = new FormData();
    entries.forEach(function (entry) {
      if (typeof entry[1] === 'string') {
        body.append(entry[0], entry[1]);
      }
    });
    entries.forEach(function (entry) {
      if (typeof entry[1] !== 'string') {
        body.append(entry[0], new Blob([entry[1]], { type: FIRMWARE_TYPE }), entry[1].name);
      }
    });
    return body;
  }

  async function upgrade(ticked, file) {
    const body = uploadBody();
    showProgress(ticked, file);
    let response;
    let html;
    try {
      response = await fetch(form.action, { method: 'POST', body: body, credentials: 'same-origin' });
      html = await response.text();
    } catch (error) {
      giveUp('The connection to the switch was lost after ' + stopProgress() +
        '. The upgrade may have stopped part-way or may still be running: wait a few minutes, ' +
        'then look at the cards before you try again. A card that was not finished keeps ' +
        'starting its previous firmware.');
      return;
    }
    if (!response.ok) {
      giveUp('The switch did not accept the upgrade: its web server answered "' +
        response.status + ' ' + response.statusText + '" after ' + stopProgress() + '.');
      return;
    }
    showResults(html);
  }

  form.addEventListener('submit', async function (event) {
    event.preventDefault();
    if (busy) {
      return;
    }
    const ticked = slots.filter(function (box) { return box.checked; });
    if (ticked.length === 0) {
      complain('Tick the slot of at least one card to re-flash.', slots[0]);
      return;
    }
    const file = fileInput.files && fileInput.files[0];
    if (!file) {
      complain('Choose the firmware file (S-records: .s19, .srec or .mot).', fileInput);
      return;
    }
    busy = true;
    if (warnedAbout !== fileKey(file)) {
      const warning = await fileWarning(file);
      if (warning) {
        busy = false;
        warnedAbout = fileKey(file);
        say(file.name + ' ' + warning, 'warning');
        fileInput.focus();
        return;
      }
    }
    upgrade(ticked, file);
  });
})();

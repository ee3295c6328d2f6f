'use strict';

// The operator's commands: add, delete, ping, initialize, status forwarding.
// Shown only when the hub says this page's token may write (api/whoami); the
// changes themselves come back over the live feed like any other.
(() => {
  const token = new URLSearchParams(location.search).get('access_token');
  const panel = document.getElementById('commands');
  let enabled = false;

  async function api(method, path, body) {
    const headers = { 'Content-Type': 'application/json' };
    if (token) headers.Authorization = `Bearer ${token}`;
    const answer = await fetch(path, {
      method, headers, cache: 'no-store', body: body === undefined ? undefined : JSON.stringify(body),
    });
    const text = await answer.text();
    if (!answer.ok) throw new Error(text.trim() || `the hub answered ${answer.status}`);
    return text ? JSON.parse(text) : null;
  }

  function element(tag, props = {}, ...children) {
    const made = Object.assign(document.createElement(tag), props);
    made.append(...children);
    return made;
  }

  const note = element('span', { className: 'command-note', id: 'command-note' });
  function say(text, failed) {
    note.textContent = text;
    note.classList.toggle('failed', Boolean(failed));
  }

  function addForm() {
    const address = element('input', { id: 'add-address', placeholder: 'A.B.C.D', required: true,
      autocomplete: 'off', ariaLabel: 'Address' });
    const name = element('input', { id: 'add-name', placeholder: 'Name (optional)', autocomplete: 'off',
      ariaLabel: 'Name', maxLength: 64 });
    const type = element('select', { id: 'add-type', ariaLabel: 'Type' },
      element('option', { value: 'qvx', textContent: 'QVX' }), element('option', { value: 'velka', textContent: 'Velka' }));
    const form = element('form', { id: 'add-form' }, address, name, type,
      element('button', { type: 'submit', textContent: 'Add system' }));
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      const body = { address: address.value.trim(), type: type.value };
      if (name.value.trim()) body.name = name.value.trim();
      try {
        const added = await api('POST', 'api/systems', body);
        say(added.warning ? `Added ${added.address}: ${added.warning}` : `Added ${added.address}`, Boolean(added.warning));
        form.reset();
      } catch (error) {
        say(error.message, true);
      }
    });
    return form;
  }

  function initializeControl() {
    const start = element('button', { type: 'button', id: 'initialize', textContent: 'Initialize…' });
    const ask = element('span', { className: 'confirm', hidden: true });
    start.addEventListener('click', () => {
      const count = window.korvelSystemCount();
      const yes = element('button', { type: 'button', id: 'initialize-yes', className: 'danger',
        textContent: `Delete all ${count} systems` });
      const no = element('button', { type: 'button', textContent: 'Cancel' });
      ask.replaceChildren(`Delete all ${count} systems and save the empty table? `, yes, no);
      ask.hidden = false;
      start.hidden = true;
      const close = () => { ask.hidden = true; start.hidden = false; };
      no.addEventListener('click', close);
      yes.addEventListener('click', async () => {
        close();
        try {
          await api('POST', 'api/initialize', { confirm: 'initialize' });
          say(`Deleted all ${count} systems`);
        } catch (error) {
          say(error.message, true);
        }
      });
    });
    return element('span', {}, start, ask);
  }

  function forwardSwitch(forward) {
    const box = element('input', { type: 'checkbox', id: 'forward-status', checked: forward });
    box.addEventListener('change', async () => {
      try {
        const options = await api('PUT', 'api/options', { forward_status: box.checked });
        box.checked = options.forward_status;
        say(`Status forwarding ${box.checked ? 'on' : 'off'}`);
      } catch (error) {
        box.checked = !box.checked;
        say(error.message, true);
      }
    });
    return element('label', { className: 'switch' }, box, ' Forward Status');
  }

  async function ping(address, result, button) {
    button.disabled = true;
    result.textContent = '…';
    result.classList.remove('failed');
    try {
      const answer = await api('POST', `api/systems/${encodeURIComponent(address)}/ping`);
      const times = answer.rtt_ms.map((ms) => ms.toFixed(1)).join(' ');
      result.textContent = `${answer.received}/${answer.sent}${times ? ` ${times} ms` : ''}`;
      result.classList.toggle('failed', answer.received === 0);
    } catch (error) {
      result.textContent = error.message;
      result.classList.add('failed');
    } finally {
      button.disabled = false;
    }
  }

  // A row's Ping and Delete; the address is read at the click, as it can change.
  function addRowCommands(tr) {
    if (!enabled || tr.querySelector('td.commands')) return;
    const address = () => tr.querySelector('td.address').textContent;
    const result = element('span', { className: 'ping-result' });
    const pingButton = element('button', { type: 'button', className: 'ping', textContent: 'Ping' });
    const deleteButton = element('button', { type: 'button', className: 'delete', textContent: 'Delete' });
    pingButton.addEventListener('click', (event) => {
      event.stopPropagation();
      ping(address(), result, pingButton);
    });
    deleteButton.addEventListener('click', async (event) => {
      event.stopPropagation();
      try {
        await api('DELETE', `api/systems/${encodeURIComponent(address())}`);
        say(`Deleted ${address()}`);
      } catch (error) {
        say(error.message, true);
      }
    });
    tr.append(element('td', { className: 'commands' }, pingButton, deleteButton, result));
  }

  window.korvelCommands = { row: addRowCommands };

  async function start() {
    try {
      const headers = token ? { Authorization: `Bearer ${token}` } : {};
      const whoami = await (await fetch('api/whoami', { headers, cache: 'no-store' })).json();
      if (!whoami.write) return;
      const options = await (await fetch('api/options', { headers, cache: 'no-store' })).json();
      enabled = true;
      panel.replaceChildren(addForm(), initializeControl(), forwardSwitch(options.forward_status), note);
      panel.hidden = false;
      document.querySelector('#systems thead tr').append(element('th', { textContent: 'Commands' }));
      for (const tr of document.querySelectorAll('#systems tbody tr[data-id]')) addRowCommands(tr);
    } catch (error) {
      // No commands: the page stays what it is without them.
    } finally {
      // For whoever checks that a page without the admin token shows none.
      performance.mark('korvel-commands-decided');
    }
  }
  start();
})();

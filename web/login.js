// SPDX-License-Identifier: MIT
// On OpenWrt the programs take a file only from a session rpcd vouches for.
// The page logs in as LuCI's own scripts do, through uhttpd's /ubus; on a
// host without /ubus it stays as it is and sends no session.
'use strict';

var SESSION = 'nubo-upload-session', NO_SESSION = '00000000000000000000000000000000';

function ubus(method, args) {
  return fetch('/ubus', { method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'call', params: [NO_SESSION, 'session', method, args] })
  }).then(function (response) {
    return response.json();
  });
}

// The id the uploads send, '' when there is none (upload.js).
function loginSession() {
  return sessionStorage.getItem(SESSION) || '';
}

// Shows the login in place of the slots; a refused upload calls it again.
function loginAgain() {
  var ended = loginSession();
  sessionStorage.removeItem(SESSION);
  var box = document.getElementById('login'), form = box && box.firstChild;
  if (!form) {
    // Styled as a slot, yet not one of them (upload.js takes form.slot).
    document.querySelector('h1').insertAdjacentHTML('afterend', '<div id="login" class="slot"><form><h3>Log in</h3>' +
      '<input name="username" value="root" autocomplete="username" aria-label="User name"> ' +
      '<input name="password" type="password" autocomplete="current-password" aria-label="Password"> ' +
      '<button>Log in</button><p class="outcome error" role="status"></p></form></div>');
    form = document.getElementById('login').firstChild;
    form.addEventListener('submit', function (event) {
      event.preventDefault();
      ubus('login', { username: form.elements.username.value, password: form.elements.password.value })
        .then(function (answer) {
          var id = answer.result && answer.result[1] && answer.result[1].ubus_rpc_session;
          if (!id)
            throw 0;
          sessionStorage.setItem(SESSION, id);
          showSlots(true);
          if (window.deviceChanged)
            deviceChanged();
        }).catch(function () {
          form.querySelector('.outcome').textContent = 'Login failed: wrong user name or password.';
        });
    });
  }
  form.querySelector('.outcome').textContent = ended ? 'The device no longer knows this login: please log in again.' : '';
  showSlots(false);
}

// The sections' grid would outweigh the hidden attribute.
function showSlots(shown) {
  document.getElementById('login').hidden = shown;
  Array.prototype.forEach.call(document.querySelectorAll('section'), function (section) {
    section.style.display = shown ? '' : 'none';
  });
}

// Any JSON-RPC answer at all says that this host has /ubus.
if (!loginSession())
  ubus('access', {}).then(loginAgain, function () {});
